#pragma once

#include <QStringList>
#include <QTextStream>

// The subcommands of sfftool. Each takes its arguments (without the program and command
// names), writes its report to out and its errors to err, and returns the exit status:
// 0 done, 1 the file is invalid or could not be made, 2 a usage error.
namespace sfftool {

struct Streams
{
    QTextStream &out;
    QTextStream &err;
};

int info(const QStringList &args, Streams io);
int render(const QStringList &args, Streams io);
int make(const QStringList &args, Streams io);
int convert(const QStringList &args, Streams io);
// make OUT --chart, under the name the run script uses.
int sample(const QStringList &args, Streams io);

// The general help text.
QString usage();

} // namespace sfftool
