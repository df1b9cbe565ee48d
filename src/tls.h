// TLS on the second port: the server's certificate and key, checked as
// they are loaded, and the stream of one TLS connection.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "stream.h"

struct ssl_ctx_st;
struct ssl_st;

namespace nchatd {

struct CtxFree {
    void operator()(ssl_ctx_st* ctx) const;
};
using TlsContext = std::unique_ptr<ssl_ctx_st, CtxFree>;

// A context for new connections, or the one line that says why there is
// none.  Connections made with an older context keep it for their life.
struct TlsLoad {
    TlsContext ctx;
    std::string error;
};

// Reads the PEM certificate chain and private key; refuses a file that is
// missing or unreadable, a key with a passphrase, a key that does not match
// the certificate and a certificate that has expired.  Never prompts and
// never blocks.  The error names the files, never the key's content.
TlsLoad load_tls(const std::string& cert_file, const std::string& key_file);

// One TLS connection over a socket it does not own.  The handshake runs
// inside read(): nothing is written before it is done, so a greeting
// queued at the connect goes out after it.
class TlsStream final : public Stream {
  public:
    TlsStream(ssl_ctx_st* ctx, int fd);
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;
    ~TlsStream() override;
    // False when the library could not make the session.
    bool ok() const { return ssl_ != nullptr; }
    bool established() const override { return open_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", once established.
    std::string describe() const override;

    IoResult read(std::span<unsigned char> into) override;
    IoResult write(std::string_view bytes) override;
    bool pending() const override;
    size_t committed() const override { return committed_; }
    short events(bool reading, bool writing) const override;
    bool readable(short revents) const override;
    void close() override;

  private:
    IoResult handshake();
    IoResult broken(int ret, const char* what);

    ssl_st* ssl_ = nullptr;
    bool open_ = false;
    short handshake_wants_ = POLLIN;
    short read_wants_ = POLLIN;
    short write_wants_ = POLLOUT;
    // A write the library encrypted but could not send is retried with the
    // same bytes: all of the last write's, to be safe.
    size_t committed_ = 0;
    std::array<char, 96> why_{};
};

}  // namespace nchatd
