#include "diagnostics/FatalHandlers.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
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
constexpr char separator[] = "\n---\n";
constexpr size_t separatorLength = sizeof separator - 1;

// Filled once by install(); the handlers only read them.
char pendingPath[PATH_MAX];
char partialPath[PATH_MAX];
bool pathsReady = false;
std::terminate_handler previousTerminate = nullptr;

// Taken by whichever handler writes the record: a fault inside a handler, the abort()
// that ends an uncaught exception and a fault on a second thread then only end the
// process, so the first record stays and nothing loops.
std::atomic<bool> recordTaken{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The handlers run here, so that they still can once the main thread's stack overflowed.
alignas(16) char alternateStack[64 * 1024];

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
    writeAll(file, separator, separatorLength);
    backtrace_symbols_fd(frames, frameCount, file);
    // Every frame line ends with a line feed; the record's last one does not.
    const off_t end = ::lseek(file, 0, SEEK_CUR);
    if (end > off_t(length + separatorLength)) {
        const bool trimmed = ::ftruncate(file, end - 1) == 0;
        Q_UNUSED(trimmed);
    }
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

void onFatalSignal(int number)
{
    if (!recordTaken.exchange(true)) {
        void *frames[recordFrames];
        const int frameCount = backtrace(frames, recordFrames);
        char message[32];
        writeRecord(message, signalMessage(number, message), frames, frameCount);
    }
    // The signal stays blocked while its handler runs: under the default disposition it
    // ends the process as soon as the handler returns.
    ::signal(number, SIG_DFL);
    ::raise(number);
}

// "Exception: " + the type's name + " : " + what(), cut to the buffer. The heap may be
// what failed: the message lives on the stack, and a failed allocation only costs the
// type its readable name.
size_t exceptionMessage(char *out, size_t capacity)
{
    size_t length = 0;
    const auto append = [&](const char *text) {
        while (text && *text && length < capacity)
            out[length++] = *text++;
    };
    append("Exception: ");
    const std::type_info *type = abi::__cxa_current_exception_type();
    int status = 0;
    char *readable = type ? abi::__cxa_demangle(type->name(), nullptr, nullptr, &status) : nullptr;
    append(readable ? readable : type ? type->name() : nullptr);
    std::free(readable);
    append(" : ");
    try {
        std::rethrow_exception(std::current_exception());
    } catch (const std::exception &error) {
        append(error.what());
    } catch (...) {
    }
    return length;
}

[[noreturn]] void onTerminate()
{
    if (std::current_exception() && !recordTaken.exchange(true)) {
        void *frames[recordFrames];
        const int frameCount = backtrace(frames, recordFrames);
        char message[4096];
        writeRecord(message, exceptionMessage(message, sizeof message), frames, frameCount);
    }
    if (previousTerminate)
        previousTerminate();
    std::abort();
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

void useAlternateStack()
{
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0)
        return;
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);
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

    useAlternateStack();
    previousTerminate = std::set_terminate(onTerminate);
    struct sigaction action
    {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int number : fatalSignals) {
        if (!heldBySanitizer(number))
            ::sigaction(number, &action, nullptr);
    }
}

} // namespace FatalHandlers
