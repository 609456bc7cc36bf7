#include "Logger.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <systemd/sd-journal.h>

#define VYRNA_STRINGIFY_(x) #x
#define VYRNA_STRINGIFY(x) VYRNA_STRINGIFY_(x)

namespace Logger {

namespace {

void Print(FILE* stream, const char* format, va_list args)
{
    vfprintf(stream, format, args);
    fflush(stream);
}

}  // namespace

void printLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Print(stdout, format, args);
    va_end(args);
}

void printErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Print(stderr, format, args);
    va_end(args);
}

void printDbg(const char*, ...)
{
}

void printJournal(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    // A text that does not fit whole is not sent at all: a cut message could
    // read as something it does not say.
    if (needed < 0 || needed >= static_cast<int>(sizeof buffer)) {
        printErr("Internal error (%s, %d)\n", __func__, __LINE__);
        return;
    }

    char* text = buffer;
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\n')
        text[length - 1] = '\0';

    sd_journal_send_with_location("CODE_FILE=" __FILE__, "CODE_LINE=" VYRNA_STRINGIFY(__LINE__),
                                  "printJournal", "MESSAGE=<in-error> : <%s>", text,
                                  "SYSLOG_IDENTIFIER=q512_status", "PRIORITY=%i", LOG_ERR,
                                  nullptr);
}

}  // namespace Logger
