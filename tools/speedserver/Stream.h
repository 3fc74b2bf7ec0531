#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <sys/types.h>

typedef struct ssl_ctx_st SSL_CTX;

namespace speedserver {

// One accepted connection, plain or TLS, with blocking reads and writes.
class Stream
{
public:
    virtual ~Stream();
    // Bytes read, 0 at the end of the stream, negative on an error or time-out.
    virtual ssize_t read(char *buffer, size_t size) = 0;
    // Whether every byte was written.
    virtual bool writeAll(const char *data, size_t size) = 0;
    int fd() const { return m_fd; }

protected:
    explicit Stream(int fd)
        : m_fd(fd)
    {}
    int m_fd;
};

// Takes ownership of the socket; closes it when destroyed.
std::unique_ptr<Stream> makePlainStream(int fd);
// Runs the TLS handshake; absent (socket closed) when it fails.
std::unique_ptr<Stream> makeTlsStream(int fd, SSL_CTX *context);

// A server context for the certificate and key files; null (with error set) on failure.
SSL_CTX *makeTlsContext(const std::string &certFile, const std::string &keyFile,
                        std::string &error);

} // namespace speedserver
