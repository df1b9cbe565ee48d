// The TLS port of the real server: one room with the plain port, the
// checks of the certificate and key, reloading them, and hostile clients.
// Keys and certificates are made for each test with `openssl req`.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using harness::client;
using harness::welcome;
using clock_type = std::chrono::steady_clock;

// A directory of throw-away keys and certificates.
class keys {
  public:
    keys()
    {
        char tmpl[] = "/tmp/nchatd-tls-XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~keys() { std::filesystem::remove_all(dir_); }
    // A P-256 key and a self-signed certificate for `cn`, as cn.key and
    // cn.pem; `prefix` runs openssl under another program (faketime).
    bool make(const std::string& cn, const std::string& prefix = "") const
    {
        std::string cmd = prefix + " openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " +
                          key(cn) + " -out " + cert(cn) + " -days 2 -subj /CN=" + cn + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }
    std::string cert(const std::string& cn) const { return dir_ + "/" + cn + ".pem"; }
    std::string key(const std::string& cn) const { return dir_ + "/" + cn + ".key"; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

// A TLS client over a blocking socket whose waits are bounded.
class tls_client {
  public:
    tls_client() = default;
    tls_client(const tls_client&) = delete;
    tls_client& operator=(const tls_client&) = delete;
    ~tls_client() { close(); }

    // Connects and shakes hands; `max_version` caps the protocol.
    bool connect(int port, int max_version = 0, const char* from = nullptr)
    {
        close();
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (max_version)
            SSL_CTX_set_max_proto_version(ctx_, max_version);
        fd_ = harness::connect_loopback(port, 0, from);
        if (fd_ < 0)
            return false;
        timeval slice{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        auto deadline = clock_type::now() + std::chrono::seconds(5);
        for (;;) {
            int r = SSL_connect(ssl_);
            if (r == 1)
                return true;
            if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || clock_type::now() > deadline)
                return false;
        }
    }
    bool send(std::string_view bytes) { return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0; }
    // Reads until everything received contains `text`; false at the end
    // of the stream or of the time.
    bool read_until(std::string_view text, int timeout_ms = 3000)
    {
        auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
        while (in_.find(text) == std::string::npos) {
            if (!fill() && (ended_ || clock_type::now() > deadline))
                return false;
        }
        return true;
    }
    bool wait_closed(int timeout_ms = 3000)
    {
        auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
        while (!ended_ && clock_type::now() < deadline)
            fill();
        return ended_;
    }
    bool login(int port, const std::string& name)
    {
        return connect(port) && read_until(welcome) && send(name + "\r\n") && read_until("> ") && (in_.clear(), true);
    }
    std::string take() { return std::exchange(in_, {}); }
    std::string peer_name() const
    {
        X509* peer = SSL_get1_peer_certificate(ssl_);
        char cn[64] = "";
        if (peer)
            X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
        X509_free(peer);
        return cn;
    }
    SSL* ssl() { return ssl_; }
    int fd() const { return fd_; }
    void close()
    {
        SSL_free(std::exchange(ssl_, nullptr));
        SSL_CTX_free(std::exchange(ctx_, nullptr));
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
        in_.clear();
        ended_ = false;
    }

  private:
    bool fill()
    {
        char buf[4096];
        int n = SSL_read(ssl_, buf, sizeof buf);
        if (n > 0) {
            in_.append(buf, static_cast<size_t>(n));
            return true;
        }
        int err = SSL_get_error(ssl_, n);
        ended_ = err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE;
        ERR_clear_error();
        return false;
    }

    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    bool ended_ = false;
    std::string in_;
};

// The options of a TLS port with `cn`'s pair, then `extra`.
std::vector<std::string> tls_args(const keys& k, const std::string& cn, int& tls_port,
                                  std::vector<std::string> extra = {})
{
    tls_port = harness::free_port();
    extra.insert(extra.begin(), {"-s", std::to_string(tls_port), "-C", k.cert(cn), "-K", k.key(cn)});
    return extra;
}

}  // namespace

TEST(Tls, OneRoomWithThePlainPortByteForByte)
{
    keys k;
    ASSERT_TRUE(k.make("chat"));
    harness::server srv;
    int tls_port = 0;
    const std::string control = k.dir() + "/control";
    ASSERT_TRUE(srv.start(tls_args(k, "chat", tls_port, {"-r", "0", "-c", control}))) << srv.log();

    // The welcome goes out after the handshake, the same bytes as on the
    // plain port.
    tls_client secure;
    ASSERT_TRUE(secure.connect(tls_port));
    ASSERT_TRUE(secure.read_until(welcome));
    EXPECT_EQ(secure.take(), welcome);
    EXPECT_TRUE(
        srv.wait_log(harness::log_prefix(secure.fd()) + " accepted on TLS port " + std::to_string(tls_port) + ".\n"));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(secure.fd()) + " secured with TLSv1.3 "));
    ASSERT_TRUE(secure.send("secure\r\n") && secure.read_until("> "));
    client plain, third;
    ASSERT_TRUE(plain.login(srv.port(), "plain"));
    ASSERT_TRUE(third.login(srv.port(), "third"));
    ASSERT_TRUE(secure.read_until("third logged in") && secure.read_until("> "));
    plain.read_until("third logged in");
    plain.read_until("> ");
    secure.take();
    plain.take();

    // Both ways, and what both readers get is the same to the byte.
    ASSERT_TRUE(secure.send("hi from tls\r\n"));
    EXPECT_TRUE(plain.read_until("<secure> hi from tls\r\n"));
    EXPECT_TRUE(third.read_until("<secure> hi from tls\r\n"));
    ASSERT_TRUE(plain.send("hi from plain\r\n"));
    EXPECT_TRUE(secure.read_until("<plain> hi from plain\r\n> "));
    EXPECT_TRUE(plain.read_until("hi from plain\r\n> "));
    secure.take();
    plain.take();
    ASSERT_TRUE(third.send("to you both\r\n"));
    ASSERT_TRUE(secure.read_until("to you both\r\n> ") && plain.read_until("to you both\r\n> "));
    EXPECT_EQ(secure.take(), plain.take());

    // The operator sees which connection is secured.
    harness::run_result users = harness::run_program({harness::ctl_binary(), "-c", control, "users"}, 15000);
    EXPECT_NE(users.out.find("secure\t127.0.0.1\t"), std::string::npos) << users.out;
    EXPECT_NE(users.out.find("\ttls\nplain\t127.0.0.1\t"), std::string::npos) << users.out;
    EXPECT_EQ(users.out.find("\ttls\n", users.out.find("plain\t")), std::string::npos) << users.out;

    // Many lines in one record: the server reads 128 bytes a turn, and the
    // rest waits inside the library where poll cannot see it.
    std::string burst;
    for (int i = 0; i < 40; ++i)
        burst += "line number " + std::to_string(i) + " of one record\r\n";
    ASSERT_TRUE(secure.send(burst));
    EXPECT_TRUE(plain.read_until("<secure> line number 39 of one record\r\n"));
    third.read_for(10);
}

TEST(Tls, StartUpRefusesBadFilesWithOneLine)
{
    keys k;
    ASSERT_TRUE(k.make("good") && k.make("other"));
    ASSERT_TRUE(k.make("old", "faketime '2020-01-01 00:00:00'"));
    const std::string enc = k.dir() + "/enc.key";
    ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes256 -pass pass:x -out " +
                           enc + " >/dev/null 2>&1")
                              .c_str()),
              0);
    const std::string port = std::to_string(harness::free_port());
    struct bad {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::string missing = k.dir() + "/missing.pem";
    const bad cases[] = {
        {{"-s", port}, 2, "-s needs a certificate (-C) and a key (-K)"},
        {{"-C", k.cert("good"), "-K", k.key("good")}, 2, "-C and -K are for the TLS port"},
        {{"-s", port, "-C", missing, "-K", k.key("good")},
         1,
         "cannot read the certificate " + missing + ": No such file or directory"},
        {{"-s", port, "-C", k.cert("good"), "-K", missing}, 1, "cannot read the key " + missing},
        {{"-s", port, "-C", k.key("good"), "-K", k.key("good")}, 1, "no PEM certificate in " + k.key("good")},
        {{"-s", port, "-C", k.cert("good"), "-K", k.key("other")},
         1,
         "the key in " + k.key("other") + " does not match the certificate in " + k.cert("good")},
        {{"-s", port, "-C", k.cert("old"), "-K", k.key("old")},
         1,
         "the certificate in " + k.cert("old") + " expired on 2020-01-03"},
        {{"-s", port, "-C", k.cert("good"), "-K", enc}, 1, "no usable PEM private key without a passphrase in " + enc},
    };
    for (const bad& b : cases) {
        std::vector<std::string> args = {"-i", "-p", std::to_string(harness::free_port())};
        args.insert(args.end(), b.args.begin(), b.args.end());
        harness::run_result r = harness::run(args);
        EXPECT_EQ(r.status, b.status) << b.says;
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find("PRIVATE"), std::string::npos);
        EXPECT_EQ(r.out.find("Init ok"), std::string::npos);
    }
}

TEST(Tls, SighupReloadsForNewConnectionsAndKeepsTheOldPairOnFailure)
{
    keys k;
    ASSERT_TRUE(k.make("first") && k.make("second") && k.make("third"));
    const std::string cert = k.dir() + "/cert.pem", key = k.dir() + "/key.pem";
    auto install = [&](const std::string& cert_of, const std::string& key_of) {
        std::filesystem::copy_file(k.cert(cert_of), cert, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(k.key(key_of), key, std::filesystem::copy_options::overwrite_existing);
    };
    install("first", "first");
    harness::server srv;
    const int tls_port = harness::free_port();
    ASSERT_TRUE(srv.start({"-s", std::to_string(tls_port), "-C", cert, "-K", key}));
    tls_client old;
    ASSERT_TRUE(old.login(tls_port, "old"));
    EXPECT_EQ(old.peer_name(), "first");

    install("second", "second");
    kill(srv.pid(), SIGHUP);
    ASSERT_TRUE(srv.wait_log("TLS certificate and key reloaded from " + cert + " and " + key + ".\n"));
    tls_client fresh;
    ASSERT_TRUE(fresh.login(tls_port, "fresh"));
    EXPECT_EQ(fresh.peer_name(), "second");
    ASSERT_TRUE(old.send("still here\r\n"));
    EXPECT_TRUE(fresh.read_until("<old> still here\r\n"));

    // A key that does not match: the second pair stays, one line says why.
    install("second", "third");
    kill(srv.pid(), SIGHUP);
    ASSERT_TRUE(srv.wait_log("TLS reload failed, keeping the certificate in use: the key in " + key +
                             " does not match the certificate in " + cert + ".\n"));
    tls_client later;
    ASSERT_TRUE(later.connect(tls_port));
    EXPECT_EQ(later.peer_name(), "second");
    EXPECT_TRUE(later.read_until(welcome));
    ASSERT_TRUE(fresh.send("and me\r\n"));
    EXPECT_TRUE(old.read_until("<fresh> and me\r\n"));
    const std::string log = srv.log();
    EXPECT_EQ(log.find("TLS reload failed"), log.rfind("TLS reload failed"));
    EXPECT_TRUE(srv.alive());
}

TEST(Tls, HostileClientsAreDroppedAndNobodyElseNotices)
{
    keys k;
    ASSERT_TRUE(k.make("chat"));
    harness::server srv;
    int tls_port = 0;
    ASSERT_TRUE(srv.start(tls_args(k, "chat", tls_port, {"-g", "2", "-u", "3"})));
    tls_client guard;
    client watch;
    ASSERT_TRUE(guard.login(tls_port, "guard"));
    ASSERT_TRUE(watch.login(srv.port(), "watch"));

    // Plain text to the TLS port.
    client plain;
    ASSERT_TRUE(plain.connect(tls_port));
    ASSERT_TRUE(plain.send("hello there\r\n"));
    EXPECT_TRUE(plain.wait_closed());
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(plain) + " dropped: TLS handshake failed: "));

    // A handshake that stalls half-way is dropped by the login grace.
    client stalled;
    ASSERT_TRUE(stalled.connect(tls_port));
    ASSERT_TRUE(stalled.send(std::string("\x16\x03\x01\x01\x00\x01\x00\x00\xfc\x03\x03", 11)));

    // Garbage in place of a record, after the handshake.
    tls_client garbage;
    ASSERT_TRUE(garbage.login(tls_port, "garbage"));
    const std::string junk = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '?');
    ASSERT_EQ(write(garbage.fd(), junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    EXPECT_TRUE(garbage.wait_closed());
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(garbage.fd()) + " dropped: TLS: "));

    // Renegotiation, which only TLS 1.2 has, is refused.
    tls_client reneg;
    ASSERT_TRUE(reneg.connect(tls_port, TLS1_2_VERSION) && reneg.read_until(welcome));
    ASSERT_TRUE(SSL_renegotiate(reneg.ssl()) == 1);
    (void)SSL_do_handshake(reneg.ssl());
    EXPECT_TRUE(reneg.wait_closed());
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(reneg.fd()) + " dropped: TLS: "));

    // Gone in the middle of a record.
    tls_client cut;
    ASSERT_TRUE(cut.connect(tls_port) && cut.read_until(welcome));
    const std::string half = harness::log_prefix(cut.fd());
    ASSERT_EQ(write(cut.fd(), "\x17\x03\x03\x01\x00 half", 10), 10);
    cut.close();
    EXPECT_TRUE(srv.wait_log(half + " has been closed.\n"));

    // A handshake flood from one address counts against -u, and those
    // turned away get nothing, as plain text would be garbage to them.
    std::vector<client> flood(5);
    for (client& c : flood)
        ASSERT_TRUE(c.connect(tls_port, 0, "127.0.0.2"));
    for (size_t i = 3; i < flood.size(); ++i) {
        EXPECT_TRUE(flood[i].wait_closed());
        EXPECT_EQ(flood[i].received(), "");
        EXPECT_TRUE(srv.wait_log(harness::log_prefix(flood[i]) +
                                 " dropped: too many unnamed connections from this address.\n"));
    }
    EXPECT_TRUE(stalled.wait_closed(5000));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(stalled) + " dropped: login timeout.\n"));

    // The line budget holds a TLS flooder back like a plain one.
    ASSERT_TRUE(guard.send(harness::numbered_lines("flood", 40)));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(guard.fd()) + " held back: input flood.\n"));

    // Nobody else noticed.
    ASSERT_TRUE(watch.send("all quiet?\r\n"));
    EXPECT_TRUE(guard.read_until("<watch> all quiet?\r\n"));
    EXPECT_TRUE(watch.read_until("<guard> flood 39\r\n", 10000));
    EXPECT_TRUE(srv.alive());
}
