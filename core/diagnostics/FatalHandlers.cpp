// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics/FatalHandlers.h"

#include "diagnostics/ThreadSignalStack.h"
#include "platform/ServiceLimits.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <typeinfo>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TACHORA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TACHORA_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

constexpr int recordFrames = 30;
constexpr int fatalSignals[] = {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};
constexpr size_t separatorLength = sizeof FatalHandlers::recordSeparator - 1;
// Bounds a handler's whole run: a record that cannot be finished by then (a disk that
// hangs, a lock that the fault left taken) is given up, and the process ends all the same.
constexpr unsigned watchdogSeconds = 3;
// How long a thread that faults while another one writes the record waits for it.
constexpr long waitForRecordMs = 2000;
// A message as the service takes it, each character at most 3 bytes per UTF-16 unit.
constexpr size_t messageCapacity = 3 * ServiceLimits::crashMessageLength;

// Filled once by install(); the handlers only read them.
char pendingPath[PATH_MAX];
char partialPath[PATH_MAX];
bool pathsReady = false;
std::terminate_handler previousTerminate = nullptr;
QtMessageHandler previousMessageHandler = nullptr;

// The kernel's id of the thread that writes the record, taken once per process: a fault
// on another thread then waits for the record, and one inside the writing ends the
// process, by the signal that started the record.
std::atomic<pid_t> writer{0};
std::atomic<int> endingSignal{0};
std::atomic<bool> recordFinished{false};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free
              && std::atomic<bool>::is_always_lock_free);

// The text of the first qFatal(), ready before the abort() that follows it.
char fatalText[messageCapacity];
std::atomic<size_t> fatalTextLength{0};
std::atomic<bool> fatalTextTaken{false};

// One line of UTF-8 text in a fixed buffer, as long as the service takes a message: a
// character that would not fit is left out whole, and control characters become spaces,
// so that the message stays on its line.
class MessageText
{
public:
    MessageText(char *buffer, size_t capacity)
        : m_buffer(buffer)
        , m_capacity(capacity)
    {}

    void append(const char *text, size_t size)
    {
        size_t at = 0;
        while (at < size && !m_full) {
            const unsigned char lead = static_cast<unsigned char>(text[at]);
            size_t bytes = lead < 0xC0   ? 1
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF8 ? 4
                                         : 1;
            if (bytes > size - at)
                bytes = size - at;
            const int units = bytes == 4 ? 2 : 1;
            if (m_length + bytes > m_capacity
                || m_units + units > ServiceLimits::crashMessageLength) {
                m_full = true;
                return;
            }
            for (size_t i = 0; i < bytes; ++i) {
                const char c = text[at + i];
                m_buffer[m_length++] = (c >= 0 && c < 0x20) || c == 0x7F ? ' ' : c;
            }
            m_units += units;
            at += bytes;
        }
    }

    void append(const char *text) { append(text, text ? std::strlen(text) : 0); }

    size_t length() const { return m_length; }

private:
    char *m_buffer;
    size_t m_capacity;
    size_t m_length = 0;
    int m_units = 0;
    bool m_full = false;
};

void writeAll(int file, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(file, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= size_t(written);
    }
}

// The partial file is emptied as it is opened, so the record starts at its beginning; it
// then takes the pending file's place in one step.
void writeRecord(const char *message, size_t length, void *const *frames, int frameCount)
{
    if (!pathsReady)
        return;
    const int file = ::open(partialPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0)
        return;
    writeAll(file, message, length);
    writeAll(file, FatalHandlers::recordSeparator, separatorLength);
    backtrace_symbols_fd(frames, frameCount, file);
    // Every frame line ends with a line feed, which opens the separator after the stack.
    const bool framesWritten = ::lseek(file, 0, SEEK_CUR) > off_t(length + separatorLength);
    const char *closing = FatalHandlers::recordSeparator + (framesWritten ? 1 : 0);
    writeAll(file, closing, std::strlen(closing));
    writeAll(file, FatalHandlers::recordEnd, sizeof FatalHandlers::recordEnd - 1);
    ::fsync(file);
    ::close(file);
    ::rename(partialPath, pendingPath);
}

size_t signalMessage(int number, char *out)
{
    constexpr char prefix[] = "Signal ";
    size_t length = 0;
    for (const char *c = prefix; *c; ++c)
        out[length++] = *c;
    char digits[12];
    int count = 0;
    unsigned value = unsigned(number);
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        out[length++] = digits[--count];
    return length;
}

// Ends the process by this signal under its default disposition, from any thread,
// whatever it blocks.
[[noreturn]] void endProcess(int number)
{
    struct sigaction fallback
    {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(number, &fallback, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, number);
    ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    ::raise(number);
    ::_exit(128 + number);
}

// The signal that started the record, or `own` in the instant before it is known.
[[noreturn]] void endProcessAfterRecord(int own)
{
    const int first = endingSignal.load();
    endProcess(first != 0 ? first : own);
}

void onWatchdog(int number)
{
    endProcessAfterRecord(number);
}

// Whether the calling thread is the one to write the record; it then ends the process by
// `number`, within the watchdog's time.
bool takeRecord(int number)
{
    pid_t none = 0;
    if (!writer.compare_exchange_strong(none, ::gettid()))
        return false;
    endingSignal = number;
    struct sigaction watchdog
    {};
    watchdog.sa_handler = onWatchdog;
    watchdog.sa_flags = SA_ONSTACK;
    sigemptyset(&watchdog.sa_mask);
    ::sigaction(SIGALRM, &watchdog, nullptr);
    ::alarm(watchdogSeconds);
    return true;
}

long millisecondsSince(const timespec &start)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

void awaitRecord()
{
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec step{0, 10 * 1000 * 1000};
    while (!recordFinished.load() && millisecondsSince(start) < waitForRecordMs)
        ::nanosleep(&step, nullptr);
}

void onFatalSignal(int number, siginfo_t *info, void *)
{
    if (takeRecord(number)) {
        void *frames[recordFrames];
        const int frameCount = backtrace(frames, recordFrames);
        const size_t fatalLength = fatalTextLength.load();
        if (number == SIGABRT && fatalLength > 0) {
            writeRecord(fatalText, fatalLength, frames, frameCount);
        } else {
            char message[32];
            writeRecord(message, signalMessage(number, message), frames, frameCount);
        }
        recordFinished = true;
        endProcess(number);
    }
    if (writer.load() == ::gettid()) {
        // On the thread that writes the record: a signal sent from outside lets it finish
        // (the process ends right after); a fault means that it cannot be finished.
        if (!recordFinished.load() && info && info->si_code <= 0)
            return;
    } else {
        awaitRecord();
    }
    endProcessAfterRecord(number);
}

// "Exception: " + the type's name + " : " + what(), cut to the message's length. The heap
// may be what failed: the message lives on the stack, and a failed allocation only costs
// the type its readable name.
size_t exceptionMessage(char *out, size_t capacity)
{
    MessageText text(out, capacity);
    text.append("Exception: ");
    const std::type_info *type = abi::__cxa_current_exception_type();
    int status = 0;
    char *readable = type ? abi::__cxa_demangle(type->name(), nullptr, nullptr, &status) : nullptr;
    text.append(readable ? readable : type ? type->name() : nullptr);
    std::free(readable);
    text.append(" : ");
    try {
        std::rethrow_exception(std::current_exception());
    } catch (const std::exception &error) {
        text.append(error.what());
    } catch (...) {
    }
    return text.length();
}

[[noreturn]] void onTerminate()
{
    if (std::current_exception() && takeRecord(SIGABRT)) {
        void *frames[recordFrames];
        const int frameCount = backtrace(frames, recordFrames);
        char message[messageCapacity];
        writeRecord(message, exceptionMessage(message, sizeof message), frames, frameCount);
        recordFinished = true;
    }
    if (previousTerminate)
        previousTerminate();
    std::abort();
}

// Keeps the text of a qFatal() for the record that its abort() leaves; every message then
// goes on to the handler that was there before.
void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg && !fatalTextTaken.exchange(true)) {
        const QByteArray utf8 = message.toUtf8();
        MessageText text(fatalText, sizeof fatalText);
        text.append(utf8.constData(), size_t(utf8.size()));
        fatalTextLength = text.length();
    }
    if (previousMessageHandler)
        previousMessageHandler(type, context, message);
}

bool copyPath(const QByteArray &path, char (&to)[PATH_MAX])
{
    if (path.isEmpty() || path.size() >= PATH_MAX)
        return false;
    std::memcpy(to, path.constData(), size_t(path.size()));
    to[path.size()] = '\0';
    return true;
}

// AddressSanitizer catches SIGSEGV, SIGBUS and SIGFPE itself and reports far more than a
// record would; a sanitizer build leaves it those it holds (ASAN_OPTIONS handle_segv=0
// and its kin hand them back).
bool heldBySanitizer([[maybe_unused]] int number)
{
#ifdef TACHORA_ADDRESS_SANITIZER
    struct sigaction current
    {};
    return ::sigaction(number, nullptr, &current) == 0
           && ((current.sa_flags & SA_SIGINFO) != 0
               || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN));
#else
    return false;
#endif
}

} // namespace

namespace FatalHandlers {

void install(const QString &pendingFilePath)
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    const QByteArray pending = QFile::encodeName(pendingFilePath);
    pathsReady = copyPath(pending, pendingPath) && copyPath(pending + ".new", partialPath);

    // The first backtrace() loads the unwinder, which allocates: not in a handler.
    void *frame = nullptr;
    backtrace(&frame, 1);

    // The main thread's, for the life of the process.
    [[maybe_unused]] static const ThreadSignalStack *const mainThreadStack = new ThreadSignalStack;
    previousTerminate = std::set_terminate(onTerminate);
    previousMessageHandler = qInstallMessageHandler(onQtMessage);
    struct sigaction action
    {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (const int number : fatalSignals) {
        if (!heldBySanitizer(number))
            ::sigaction(number, &action, nullptr);
    }
}

bool recordStarted()
{
    return writer.load() != 0;
}

} // namespace FatalHandlers
