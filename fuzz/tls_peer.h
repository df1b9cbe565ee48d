// The TLS side of the fuzz driver: the server's real TlsStream over one end
// of a socket pair, and a client of the library's own at the other end that
// encrypts what the fuzzer chooses and decrypts what the server sends.  So
// the bytes of a receive pass through the record layer, the stream and the
// session as they do on the TLS port.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fdctl.h"
#include "tls.h"

namespace fuzz {

struct ssl_free {
    void operator()(SSL* s) const { SSL_free(s); }
};

// The server's context as load_tls() makes it, from a P-256 key and a
// self-signed certificate made in memory once per process and written to
// a throw-away directory for the loader.
inline SSL_CTX* server_context()
{
    static const nchatd::TlsContext ctx = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 365);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        char tmpl[] = "/tmp/nchatd-fuzz-XXXXXX";
        std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::string cert_file = dir + "/cert.pem", key_file = dir + "/key.pem";
        FILE* f = fopen(cert_file.c_str(), "w");
        if (f) {
            PEM_write_X509(f, cert);
            fclose(f);
        }
        f = fopen(key_file.c_str(), "w");
        if (f) {
            PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
            fclose(f);
        }
        X509_free(cert);
        EVP_PKEY_free(key);
        nchatd::TlsLoad loaded = nchatd::load_tls(cert_file, key_file);
        std::filesystem::remove_all(dir);
        if (!loaded.ctx) {
            fprintf(stderr, "fuzz: no TLS context: %s\n", loaded.error.c_str());
            abort();
        }
        return std::move(loaded.ctx);
    }();
    return ctx.get();
}

// A client context capped at TLS 1.2, or the library's default.
inline SSL_CTX* client_context(bool tls12)
{
    static const auto make = [](int max_version) {
        nchatd::TlsContext c(SSL_CTX_new(TLS_client_method()));
        if (max_version)
            SSL_CTX_set_max_proto_version(c.get(), max_version);
        return c;
    };
    static const nchatd::TlsContext ctx[2] = {make(0), make(TLS1_2_VERSION)};
    return ctx[tls12].get();
}

// One TLS connection: the server's end, which the stream reads and writes,
// and the client's.  Neither end is closed before the rig ends, so no write
// of the server's ever meets a closed peer.
struct tls_peer {
    nchatd::unique_fd server, client;
    std::unique_ptr<SSL, ssl_free> ssl;
    std::string sent;  // handed over by the stream, not yet decrypted by the client
    // Decrypted ahead of the stream's count: after a write that could not
    // finish, the library may send part of it before it says so.
    size_t ahead = 0;

    // A connected pair with a small send buffer on the server's side, so
    // that a client who does not read holds the server back.
    bool connect(bool tls12)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            return false;
        server.reset(fds[0]);
        client.reset(fds[1]);
        (void)nchatd::set_sndbuf(server.get(), 4096);
        ssl.reset(SSL_new(client_context(tls12)));
        return ssl && SSL_set_fd(ssl.get(), client.get()) == 1 && (SSL_set_connect_state(ssl.get()), true);
    }

    // The client's part of the handshake, as far as it goes now.
    bool shake() { return SSL_do_handshake(ssl.get()) == 1; }

    // Encrypts bytes as the client types them; a full socket takes none.
    void type(const unsigned char* bytes, size_t n) { (void)SSL_write(ssl.get(), bytes, static_cast<int>(n)); }

    // Bytes on the wire that are no record of this session.
    void inject(const unsigned char* bytes, size_t n)
    {
        (void)send(client.get(), bytes, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    // The stream took `bytes`.
    void took(std::string_view bytes)
    {
        const size_t known = std::min(ahead, bytes.size());
        ahead -= known;
        sent.append(bytes.substr(known));
    }

    // Decrypts everything waiting; false when it is not what the server
    // handed over, byte for byte, followed by what its stream holds unsent
    // (`committed`, the front of the queue).
    bool read_all(std::string_view committed)
    {
        std::string got;
        char buf[4096];
        for (int i = 0; i < 1024; ++i) {
            int n = SSL_read(ssl.get(), buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        ERR_clear_error();
        const std::string expected = sent + std::string(committed.substr(std::min(ahead, committed.size())));
        if (!std::string_view(expected).starts_with(got))
            return false;
        const size_t known = std::min(got.size(), sent.size());
        sent.erase(0, known);
        ahead += got.size() - known;
        return true;
    }
};

}  // namespace fuzz
