#include "tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fdctl.h"

namespace nchatd {

void CtxFree::operator()(SSL_CTX* ctx) const
{
    SSL_CTX_free(ctx);
}

namespace {

// The library's reason for the last failure, for a log line or an error.
const char* last_reason()
{
    const char* r = ERR_reason_error_string(ERR_peek_last_error());
    return r ? r : "unknown error";
}

TlsLoad failed(std::string error)
{
    ERR_clear_error();
    return {nullptr, std::move(error)};
}

// Opening it ourselves gives the plain reason ("No such file or
// directory", "Permission denied") that the library's errors hide.
std::string unreadable(const char* what, const std::string& file)
{
    unique_fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return fd ? std::string() : "cannot read the " + std::string(what) + " " + file + ": " + strerror(errno);
}

// A key with a passphrase would make the library ask on the terminal.
int no_passphrase(char*, int, int, void*)
{
    return 0;
}

std::string utc_text(const ASN1_TIME* t)
{
    struct tm when {};
    char text[32] = "an unknown date";
    if (ASN1_TIME_to_tm(t, &when) == 1)
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &when);
    return text;
}

}  // namespace

TlsLoad load_tls(const std::string& cert_file, const std::string& key_file)
{
    for (auto [what, file] : {std::pair{"certificate", &cert_file}, std::pair{"key", &key_file}}) {
        if (std::string e = unreadable(what, *file); !e.empty())
            return failed(e);
    }
    TlsContext ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx)
        return failed(std::string("cannot set up TLS: ") + last_reason());
    SSL_CTX* c = ctx.get();
    // TLS 1.2 and 1.3 with the library's ciphers in the server's order; no
    // renegotiation, which only ever served attacks here.  A peer that
    // closes without a close_notify has simply gone, as on the plain port.
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Idle connections give their buffers back; a write may take part of
    // the queue, and the queue may move between retries.
    SSL_CTX_set_mode(c, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Chat sessions are long: resumption would save little and cost
    // memory per session.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(c, 0);
    SSL_CTX_set_default_passwd_cb(c, no_passphrase);
    if (SSL_CTX_use_certificate_chain_file(c, cert_file.c_str()) != 1)
        return failed("no PEM certificate in " + cert_file + " (" + last_reason() + ")");
    // The library compares the key with the certificate as it loads it.
    const bool loaded = SSL_CTX_use_PrivateKey_file(c, key_file.c_str(), SSL_FILETYPE_PEM) == 1;
    if (!loaded && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH)
        return failed("no usable PEM private key without a passphrase in " + key_file + " (" + last_reason() + ")");
    if (!loaded || SSL_CTX_check_private_key(c) != 1)
        return failed("the key in " + key_file + " does not match the certificate in " + cert_file);
    const ASN1_TIME* not_after = X509_get0_notAfter(SSL_CTX_get0_certificate(c));
    if (X509_cmp_current_time(not_after) <= 0)
        return failed("the certificate in " + cert_file + " expired on " + utc_text(not_after));
    ERR_clear_error();
    return {std::move(ctx), {}};
}

// ---------------------------------------------------------------------------
// One connection.
// ---------------------------------------------------------------------------

TlsStream::TlsStream(SSL_CTX* ctx, int fd) : ssl_(SSL_new(ctx))
{
    if (ssl_ && SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (ssl_)
        SSL_set_accept_state(ssl_);
    ERR_clear_error();
}

TlsStream::~TlsStream()
{
    SSL_free(ssl_);
}

std::string TlsStream::describe() const
{
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

// Any failure but waiting ends the stream.  A close_notify or a plain end
// of the connection is a peer that left; anything else is logged.
IoResult TlsStream::broken(int ret, const char* what)
{
    const int err = SSL_get_error(ssl_, ret);
    IoResult r{.ended = true};
    if (err != SSL_ERROR_ZERO_RETURN && !(err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
        snprintf(why_.data(), why_.size(), "%s: %s", what, err == SSL_ERROR_SSL ? last_reason() : strerror(errno));
        r.why = why_.data();
    }
    // After a fatal error the library must not send a close_notify.
    if (err == SSL_ERROR_SSL || err == SSL_ERROR_SYSCALL)
        SSL_set_quiet_shutdown(ssl_, 1);
    ERR_clear_error();
    return r;
}

IoResult TlsStream::handshake()
{
    ERR_clear_error();
    int ret = SSL_do_handshake(ssl_);
    if (ret == 1) {
        open_ = true;
        return {.opened = true};
    }
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ:
        handshake_wants_ = POLLIN;
        return {};
    case SSL_ERROR_WANT_WRITE:
        handshake_wants_ = POLLOUT;
        return {};
    default:
        return broken(ret, "TLS handshake failed");
    }
}

IoResult TlsStream::read(std::span<unsigned char> into)
{
    IoResult r;
    if (!open_) {
        r = handshake();
        if (!open_)
            return r;
    }
    ERR_clear_error();
    int ret = SSL_read(ssl_, into.data(), static_cast<int>(into.size()));
    if (ret > 0) {
        read_wants_ = POLLIN;
        r.bytes = static_cast<size_t>(ret);
        return r;
    }
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ:
        read_wants_ = POLLIN;
        return r;
    case SSL_ERROR_WANT_WRITE:
        read_wants_ = POLLOUT;
        return r;
    default:
        return broken(ret, "TLS");
    }
}

IoResult TlsStream::write(std::string_view bytes)
{
    if (!open_ || bytes.empty())
        return {};
    ERR_clear_error();
    const size_t len = std::min<size_t>(bytes.size(), 1 << 30);
    int ret = SSL_write(ssl_, bytes.data(), static_cast<int>(len));
    if (ret > 0) {
        write_wants_ = POLLOUT;
        committed_ = 0;
        return {.bytes = static_cast<size_t>(ret)};
    }
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_WRITE:
        write_wants_ = POLLOUT;
        committed_ = std::max(committed_, len);
        return {};
    case SSL_ERROR_WANT_READ:
        write_wants_ = POLLIN;
        committed_ = std::max(committed_, len);
        return {};
    default:
        return broken(ret, "TLS");
    }
}

bool TlsStream::pending() const
{
    return open_ && SSL_has_pending(ssl_) == 1;
}

short TlsStream::events(bool reading, bool writing) const
{
    if (!open_)
        return handshake_wants_;
    return static_cast<short>((reading ? read_wants_ : 0) | (writing ? write_wants_ : 0));
}

bool TlsStream::readable(short revents) const
{
    return revents & (POLLIN | (open_ ? read_wants_ : handshake_wants_));
}

// One close_notify, without waiting for the peer's.
void TlsStream::close()
{
    if (!open_)
        return;
    ERR_clear_error();
    (void)SSL_shutdown(ssl_);
    ERR_clear_error();
}

}  // namespace nchatd
