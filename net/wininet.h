// A small stand-in for the Windows Internet functions the client uses, built on
// libcurl's multi interface so that every wait lets the window run: a wait is the
// window's own event loop, woken by libcurl's sockets and timer (and the wait hook).
// All calls come from one thread (the window's); the hook may call back into here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace net {

using HINTERNET = std::uint32_t;  // opaque, never handed out twice; 0 = none

constexpr std::uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr std::uint16_t INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr std::uint32_t INTERNET_SERVICE_HTTP = 3;
constexpr std::uint32_t INTERNET_FLAG_RELOAD = 0x80000000u;
constexpr std::uint32_t INTERNET_FLAG_KEEP_CONNECTION = 0x00400000u;
constexpr std::uint32_t HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr std::uint32_t HTTP_QUERY_STATUS_CODE = 19;
// The buffer holds a header's name on the way in and its value on the way out.
constexpr std::uint32_t HTTP_QUERY_CUSTOM = 65535;

// Text arguments are 8-bit (Windows-1250) strings, as the caller encoded them.
HINTERNET InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxyName,
                        const char* proxyBypass, std::uint32_t flags);
// serverName may be "name:port"; then that port wins over the port argument.
HINTERNET InternetConnectA(HINTERNET session, const char* serverName, std::uint16_t port,
                           const char* userName, const char* password, std::uint32_t service,
                           std::uint32_t flags, std::uintptr_t context);
HINTERNET HttpOpenRequestA(HINTERNET connect, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes,
                           std::uint32_t flags, std::uintptr_t context);
// Sends the request and waits (calling the wait hook) until the response headers
// have arrived or the transfer failed. headers: extra "Name: value" lines separated by
// CRLF, headersLength bytes of them (UINT32_MAX: up to the NUL).
bool HttpSendRequestA(HINTERNET request, const char* headers, std::uint32_t headersLength,
                      const void* optional, std::uint32_t optionalLength);
// Levels HTTP_QUERY_CONTENT_LENGTH, HTTP_QUERY_STATUS_CODE and HTTP_QUERY_CUSTOM, as
// NUL-terminated text.
bool HttpQueryInfoA(HINTERNET request, std::uint32_t infoLevel, char* buffer,
                    std::uint32_t* bufferLength, std::uint32_t* index);
// Up to numberOfBytesToRead bytes; true with 0 bytes at the end of a complete body.
// False when the transfer failed or ended short of its announced Content-Length.
bool InternetReadFile(HINTERNET file, void* buffer, std::uint32_t numberOfBytesToRead,
                      std::uint32_t* numberOfBytesRead);
// After a failed send or read: true when the cause may pass (the connection could not be
// made or broke, the transfer stalled, the body ended short of its length).
bool failureMayPass(HINTERNET request);
// Harmless on 0, unknown or already closed handles; also ends a waiting call on it.
bool InternetCloseHandle(HINTERNET handle);

// Called while any call above waits, each time the wait wakes: on the thread's event loop
// (which handles the window's events meanwhile) when a socket, a timer or an event woke
// it; without one at least every 10 ms. The window sets its yield here.
// Each owner has its own hook (all are called); an empty hook removes the owner's, so no
// owner can unhook another.
void setWaitHook(const void* owner, std::function<void()> hook);

// A transfer that receives less than this many bytes a minute, on average over one
// low-speed window, has stalled, like one that receives nothing (a trickle would otherwise
// never end).
constexpr long kLowSpeedBytes = 1024;

struct TimeLimits {
  std::chrono::milliseconds connect{30000};  // to establish the connection
  std::chrono::milliseconds idle{60000};     // nothing received for this long fails
  // How long the rate of kLowSpeedBytes a minute must be missed; shortening it for a test
  // keeps the rate.
  std::chrono::seconds lowSpeedWindow{60};
};
// Tests shorten the limits so that stall cases stay fast; the program never calls it.
void setTimeLimitsForTests(TimeLimits limits);
TimeLimits timeLimits();

// Unread body a request keeps at most before the transfer is paused (plus one piece
// of at most kReceivePieceSize that was already on its way).
constexpr std::size_t kReadBufferLimit = 256 * 1024;
constexpr std::size_t kReceivePieceSize = 512 * 1024;
// Unread body bytes held for the request right now (0 for other handles).
std::size_t bufferedBytesForTests(HINTERNET request);
// Handles handed out so far: lets tests see a transfer's steps that leave no other trace.
HINTERNET handlesOpenedForTests();
// InternetReadFile calls so far, failed and empty ones included.
std::uint64_t readsForTests();
// The same calls counted in 64-byte units of what they delivered, an empty or failed
// call as one.
std::uint64_t readUnitsForTests();

}  // namespace net
