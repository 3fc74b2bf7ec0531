// SPDX-License-Identifier: GPL-3.0-or-later
#include "Stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace speedserver {

Stream::~Stream()
{
    ::close(m_fd);
}

namespace {

class PlainStream final : public Stream
{
public:
    explicit PlainStream(int fd)
        : Stream(fd)
    {}

    ssize_t read(char *buffer, size_t size) override
    {
        size = readPiece(size);
        ssize_t n;
        do
            n = ::recv(m_fd, buffer, size, 0);
        while (n < 0 && errno == EINTR);
        if (n > 0)
            readMoved(std::uint64_t(n));
        return n;
    }

    bool writeAll(const char *data, size_t size) override
    {
        while (size > 0) {
            const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }
};

class TlsStream final : public Stream
{
public:
    TlsStream(int fd, SSL *ssl)
        : Stream(fd)
        , m_ssl(ssl)
    {
        BIO *socket = SSL_get_rbio(ssl);
        BIO_set_callback_arg(socket, reinterpret_cast<char *>(this));
        BIO_set_callback_ex(socket, &TlsStream::socketUsed);
    }
    ~TlsStream() override
    {
        SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
    }

    ssize_t read(char *buffer, size_t size) override
    {
        size_t got = 0;
        if (SSL_read_ex(m_ssl, buffer, size, &got) == 1)
            return ssize_t(got);
        return SSL_get_error(m_ssl, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    bool writeAll(const char *data, size_t size) override
    {
        size_t written = 0;
        return size == 0 || (SSL_write_ex(m_ssl, data, size, &written) == 1 && written == size);
    }

private:
    // Every read from the socket, records and their headers, goes by the pacer.
    static long socketUsed(BIO *socket, int operation, const char *, size_t, int, long, int ret,
                           size_t *processed)
    {
        auto *self = reinterpret_cast<TlsStream *>(BIO_get_callback_arg(socket));
        if (operation == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0)
            self->readMoved(*processed);
        return ret;
    }

    SSL *m_ssl;
};

} // namespace

std::unique_ptr<Stream> makePlainStream(int fd)
{
    return std::make_unique<PlainStream>(fd);
}

std::unique_ptr<Stream> makeTlsStream(int fd, SSL_CTX *context)
{
    SSL *ssl = SSL_new(context);
    if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TlsStream>(fd, ssl);
}

SSL_CTX *makeTlsContext(const std::string &certFile, const std::string &keyFile, std::string &error)
{
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        error = "cannot create a TLS context";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(context) != 1) {
        error = "cannot load the certificate " + certFile + " with the key " + keyFile;
        SSL_CTX_free(context);
        return nullptr;
    }
    // Only HTTP/1.1 is spoken: say so, so that a client asking for HTTP/2 falls back.
    SSL_CTX_set_alpn_select_cb(
        context,
        [](SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in,
           unsigned int inlen, void *) {
            static const unsigned char http11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
            unsigned char *selected = nullptr;
            if (SSL_select_next_proto(&selected, outlen, http11, sizeof http11, in, inlen)
                != OPENSSL_NPN_NEGOTIATED)
                return SSL_TLSEXT_ERR_NOACK;
            *out = selected;
            return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
    return context;
}

} // namespace speedserver
