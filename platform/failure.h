#pragma once

#include <QString>

#include <stdexcept>

// A failing step of the console: a number and a text, as the error report shows them. Every
// step that can fail throws this; each handler is entered through one wrapper that hands it
// to the error report.
namespace platform {

// Failure numbers of the console's own steps (files and the component host).
inline constexpr int kErrOutOfMemory = 7;
inline constexpr int kErrInternal = 51;       // a step threw something that is no Failure
inline constexpr int kErrBadFileNumber = 52;  // a write to a file that is not open
inline constexpr int kErrFileNotFound = 53;
inline constexpr int kErrPermissionDenied = 70;
inline constexpr int kErrPathFileAccess = 75; // a file that cannot be opened or created
inline constexpr int kErrPathNotFound = 76;
inline constexpr int kErrCannotCreateObject = 429; // the component cannot be loaded or created

class Failure : public std::runtime_error
{
public:
    Failure(int number, const QString &text)
        : std::runtime_error(text.toStdString()), m_number(number), m_text(text)
    {
    }
    int number() const noexcept { return m_number; }
    const QString &text() const noexcept { return m_text; }

private:
    int m_number;
    QString m_text;
};

} // namespace platform
