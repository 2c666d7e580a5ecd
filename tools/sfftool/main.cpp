// sfftool: check, render, make and convert SFF fax files. See usage() in commands.cpp.

#include "commands.h"

#include <QGuiApplication>

namespace {

QtMessageHandler defaultHandler = nullptr;

// Without a session (a plain console, a CI run) Qt warns that XDG_RUNTIME_DIR is not set
// when the offscreen platform starts; the tool does not use that folder, so the warning is
// only noise in its output.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    defaultHandler = qInstallMessageHandler(messageHandler);
    // Text is drawn with QPainter, which needs a QGuiApplication for its fonts; without a
    // display the offscreen platform serves.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("sfftool"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    const sfftool::Streams io{out, err};
    QStringList args = QGuiApplication::arguments().mid(1);
    if (args.isEmpty()) {
        err << sfftool::usage();
        return 2;
    }
    QString command = args.takeFirst();
    if (command == u"help" && !args.isEmpty()) { // help COMMAND
        command = args.takeFirst();
        args = QStringList{QStringLiteral("--help")};
    } else if (command == u"--help" || command == u"-h" || command == u"help") {
        out << sfftool::usage();
        return 0;
    }
    if (command == u"info")
        return sfftool::info(args, io);
    if (command == u"render")
        return sfftool::render(args, io);
    if (command == u"make")
        return sfftool::make(args, io);
    if (command == u"convert")
        return sfftool::convert(args, io);
    if (command == u"sample")
        return sfftool::sample(args, io);
    err << "sfftool: unknown command '" << command << "'\n\n" << sfftool::usage();
    return 2;
}
