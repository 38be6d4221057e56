#include "zel_relay_bench_ws.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The longest frame the relay sends (a 262,144-byte line and its header)
// fits several times over, so a read never waits for room.
constexpr size_t kBufSize = 1 << 20;

}  // namespace

struct ws_sub {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    bool ended = false;
    size_t len = 0;
    std::string frag;  // the text of a fragmented message so far
    unsigned char buf[kBufSize];
};

namespace {

void fail(char* err, size_t n, const char* what) {
    unsigned long e = ERR_get_error();
    if (e != 0) {
        char ssl_err[160];
        ERR_error_string_n(e, ssl_err, sizeof ssl_err);
        std::snprintf(err, n, "%s: %s", what, ssl_err);
    } else {
        std::snprintf(err, n, "%s: %s", what, errno != 0 ? std::strerror(errno) : "failed");
    }
}

// Sends a whole frame on a non-blocking connection, waiting out WANT_WRITE
// (only pongs are sent once the connection is up, and they are tiny).
void send_frame(ws_sub* s, const unsigned char* p, size_t n) {
    while (n > 0) {
        const int w = SSL_write(s->ssl, p, static_cast<int>(n));
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        const int e = SSL_get_error(s->ssl, w);
        if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) return;
    }
}

// A pong with the ping's payload, masked with a zero key as a client must.
void pong(ws_sub* s, const unsigned char* payload, size_t n) {
    unsigned char f[2 + 4 + 125];
    if (n > 125) return;
    f[0] = 0x8a;
    f[1] = static_cast<unsigned char>(0x80 | n);
    std::memset(f + 2, 0, 4);
    std::memcpy(f + 6, payload, n);
    send_frame(s, f, 6 + n);
}

void end(ws_sub* s, const ws_sub_events& ev, int code, std::string_view reason) {
    if (s->ended) return;
    s->ended = true;
    ev.closed(ev.arg, code, reason);
}

// Hands over every whole frame at the front of the buffer; keeps the rest.
void parse(ws_sub* s, const ws_sub_events& ev) {
    size_t off = 0;
    while (!s->ended) {
        const unsigned char* p = s->buf + off;
        const size_t have = s->len - off;
        if (have < 2) break;
        const bool fin = (p[0] & 0x80) != 0;
        const int op = p[0] & 0x0f;
        uint64_t n = p[1] & 0x7f;
        size_t h = 2;
        if (n == 126) {
            if (have < 4) break;
            n = static_cast<uint64_t>(p[2]) << 8 | p[3];
            h = 4;
        } else if (n == 127) {
            if (have < 10) break;
            n = 0;
            for (int i = 0; i < 8; i++) n = n << 8 | p[2 + i];
            h = 10;
        }
        if ((p[1] & 0x80) != 0 || n > kBufSize - 14) {
            end(s, ev, 0, "masked or oversized frame from the server");
            break;
        }
        if (have - h < n) break;
        const auto* payload = p + h;
        const std::string_view text(reinterpret_cast<const char*>(payload), n);
        if (op == 0x1 || op == 0x0) {
            if (fin && op == 0x1 && s->frag.empty()) {
                ev.message(ev.arg, text);
            } else {
                s->frag.append(text);
                if (fin) {
                    ev.message(ev.arg, s->frag);
                    s->frag.clear();
                }
            }
        } else if (op == 0x9) {
            pong(s, payload, n);
        } else if (op == 0x8) {
            const int code = n >= 2 ? payload[0] << 8 | payload[1] : 0;
            end(s, ev, code, n > 2 ? text.substr(2) : std::string_view{});
        }
        off += h + n;
    }
    std::memmove(s->buf, s->buf + off, s->len - off);
    s->len -= off;
}

}  // namespace

ws_sub* ws_sub_open(const char* host, int port, const char* path, const char* ca_file, char* err,
                    size_t err_len) {
    auto* s = new ws_sub;
    errno = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    s->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1 || s->fd < 0 ||
        connect(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fail(err, err_len, "connect");
        ws_sub_free(s);
        return nullptr;
    }
    setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    s->ctx = SSL_CTX_new(TLS_client_method());
    if (s->ctx == nullptr || SSL_CTX_load_verify_locations(s->ctx, ca_file, nullptr) != 1) {
        fail(err, err_len, "TLS set-up");
        ws_sub_free(s);
        return nullptr;
    }
    SSL_CTX_set_verify(s->ctx, SSL_VERIFY_PEER, nullptr);
    s->ssl = SSL_new(s->ctx);
    if (s->ssl == nullptr || SSL_set_fd(s->ssl, s->fd) != 1 ||
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl), host) != 1 ||
        SSL_connect(s->ssl) != 1) {
        fail(err, err_len, "TLS handshake");
        ws_sub_free(s);
        return nullptr;
    }
    char req[512];
    const int rn =
        std::snprintf(req, sizeof req,
                      "GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: emVsLWJlbmNoLXN1YnM=\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n",
                      path, host, port);
    if (SSL_write(s->ssl, req, rn) != rn) {
        fail(err, err_len, "upgrade request");
        ws_sub_free(s);
        return nullptr;
    }
    // The answer's headers, byte by byte up to the blank line, so that no
    // frame behind them is read here.
    std::string head;
    char ch;
    while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos) {
        if (SSL_read(s->ssl, &ch, 1) != 1) {
            fail(err, err_len, "upgrade answer");
            ws_sub_free(s);
            return nullptr;
        }
        head += ch;
    }
    if (head.compare(0, 13, "HTTP/1.1 101 ") != 0) {
        std::snprintf(err, err_len, "upgrade refused: %.80s", head.c_str());
        ws_sub_free(s);
        return nullptr;
    }
    fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK);
    return s;
}

int ws_sub_fd(const ws_sub* s) {
    return s->fd;
}

int ws_sub_read(ws_sub* s, const ws_sub_events& ev) {
    while (!s->ended) {
        const int r = SSL_read(s->ssl, s->buf + s->len, static_cast<int>(kBufSize - s->len));
        if (r > 0) {
            s->len += static_cast<size_t>(r);
            parse(s, ev);
            continue;
        }
        const int e = SSL_get_error(s->ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
        end(s, ev, 0, "connection ended without a close frame");
    }
    return s->ended ? 1 : 0;
}

void ws_sub_free(ws_sub* s) {
    if (s == nullptr) return;
    if (s->ssl != nullptr) SSL_free(s->ssl);
    if (s->ctx != nullptr) SSL_CTX_free(s->ctx);
    if (s->fd >= 0) close(s->fd);
    delete s;
}
