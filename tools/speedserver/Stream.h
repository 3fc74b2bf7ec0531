// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Pacer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

    // Holds reads from the socket to the link's rate and to this connection's own from now
    // on (a rate of 0: no limit); alreadyRead bytes taken before count as the first. Over
    // TLS it is the records' bytes that are held, as a link would hold them, not the
    // decrypted ones. Without arguments, reads are free again.
    void paceReads(LinkPacer *link = nullptr, std::uint64_t connectionRate = 0,
                   std::uint64_t alreadyRead = 0)
    {
        m_readLink = link && link->rate() > 0 ? link : nullptr;
        m_readPacer.reset();
        if (connectionRate > 0)
            m_readPacer.emplace(connectionRate);
        readMoved(alreadyRead);
    }

protected:
    size_t readPiece(size_t most) const
    {
        size_t piece = most;
        if (m_readPacer)
            piece = std::min(piece, m_readPacer->pieceSize(most));
        if (m_readLink)
            piece = std::min(piece, m_readLink->pieceSize(most));
        return piece;
    }
    void readMoved(std::uint64_t bytes)
    {
        if (bytes == 0)
            return;
        if (m_readPacer)
            m_readPacer->moved(bytes);
        if (m_readLink)
            m_readLink->moved(bytes);
    }

protected:
    explicit Stream(int fd)
        : m_fd(fd)
    {}
    int m_fd;
    std::optional<Pacer> m_readPacer;
    LinkPacer *m_readLink = nullptr;
};

// Takes ownership of the socket; closes it when destroyed.
std::unique_ptr<Stream> makePlainStream(int fd);
// Runs the TLS handshake; absent (socket closed) when it fails.
std::unique_ptr<Stream> makeTlsStream(int fd, SSL_CTX *context);

// A server context for the certificate and key files; null (with error set) on failure.
SSL_CTX *makeTlsContext(const std::string &certFile, const std::string &keyFile,
                        std::string &error);

} // namespace speedserver
