// A bare TLS WebSocket subscriber for the relay benchmark: OpenSSL for TLS,
// its own handshake and frame parser. The library's client parser walks every
// payload byte through its state machine, which held the harness below the
// relay it measures; this one takes whole frames out of a large buffer.
//
// It reads only what a subscriber of the relay meets: text frames (whole or
// fragmented), pings (answered), close. One connection is owned by one thread.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string_view>

struct ws_sub;

// Connects to host:port over TLS, verifying the server against ca_file (an
// IP literal is checked as an address), and upgrades at path. Blocking; the
// connection is non-blocking afterwards. Null with a reason in err on failure.
ws_sub* ws_sub_open(const char* host, int port, const char* path, const char* ca_file, char* err,
                    size_t err_len);

int ws_sub_fd(const ws_sub* s);

// What ws_sub_read hands over.
struct ws_sub_events {
    void (*message)(void* arg, std::string_view text);
    void (*closed)(void* arg, int code, std::string_view reason);  // code 0: no close frame
    void* arg;
};

// Takes what the socket holds and hands over every complete message.
// 0 while the connection is open; 1 once it has ended (closed is called once).
int ws_sub_read(ws_sub* s, const ws_sub_events& ev);

void ws_sub_free(ws_sub* s);
