// The HTTP/1.1 client the integration tests talk to the server with: one
// request at a time, each answered in full, on a connection of its own or on
// one kept open between requests. Its transport lives in http_client.cpp, so
// that including this header costs the many test files no Boost.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace quillo::testing::http {

// Orders header names as HTTP compares them: ASCII letters without case.
struct HeaderNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Header fields in the order of their names; a name may repeat
// (Set-Cookie), and looking one up ignores case.
using Headers = std::multimap<std::string, std::string, HeaderNameLess>;

struct Request {
    std::string method = "GET";
    std::string path = "/"; // the request target as sent: escapes and query included
    Headers headers{};
    std::string body{};
};

struct Response {
    int status = -1;
    Headers headers{};
    std::string body{};

    bool has_header(const std::string& name) const;
    // The value of the `index`th field called `name`; empty when there is none.
    std::string get_header_value(const std::string& name, std::size_t index = 0) const;
    std::size_t get_header_value_count(const std::string& name) const;
};

// Why a request got no response.
enum class Error {
    Success,
    Connection,        // the host did not resolve or the connection was refused
    ConnectionTimeout, // no connection within the connection time-out
    Write,             // the request could not be sent in full
    WriteTimeout,      // the request was not taken within the write time-out
    Read,              // the connection failed or closed before the response was complete
    ReadTimeout,       // the server went quiet for the read time-out
    InvalidResponse,   // not a well-formed HTTP response
    ResponseTooLarge,  // a head or body over the client's limits (64 KiB, 256 MiB)
};

std::string to_string(Error error);

// A response, or the error that took its place. A failed result still points
// at a Response (status -1, nothing else), so that a test which reads
// ->status without checking first fails on that value instead of crashing.
class Result {
  public:
    Result(Response response, Error error) : response_(std::move(response)), error_(error) {}

    explicit operator bool() const { return error_ == Error::Success; }
    Error error() const { return error_; }

    const Response& operator*() const { return response_; }
    Response& operator*() { return response_; }
    const Response* operator->() const { return &response_; }
    Response* operator->() { return &response_; }

  private:
    Response response_;
    Error error_;
};

// A client for one server. Without keep-alive every request has a connection
// of its own, closed after the response ("Connection: close" is sent). With
// it the connection stays open for the next request, as long as the server
// keeps it, and one that the server dropped while idle is replaced once.
//
// Unless the request names them itself, a request carries Host (host:port,
// an IPv6 host in brackets), Accept and User-Agent; a body carries
// Content-Length, and Content-Type "text/plain" when none is given, the way
// fetch() sends a string. POST, PUT and PATCH send "Content-Length: 0"
// without a body. Redirects are not followed.
//
// One thread at a time may use a Client; separate Clients are independent.
class Client {
  public:
    // `host` is a name or an address; an IPv6 address without brackets ("::1").
    Client(std::string host, int port);
    ~Client();
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Result Get(const std::string& path, const Headers& headers = {});
    Result Post(const std::string& path, const std::string& body, const std::string& content_type);
    Result Post(const std::string& path, const Headers& headers, const std::string& body,
                const std::string& content_type);
    Result Put(const std::string& path, const std::string& body, const std::string& content_type);
    Result Options(const std::string& path, const Headers& headers = {});
    // Any method, as given; a HEAD response is read without a body.
    Result send(const Request& request);

    void set_keep_alive(bool keep_alive);
    // Defaults: 5 s to connect, 5 s to send a request, 30 s of silence while
    // a response is read (the time between data, not for the whole response).
    void set_connection_timeout(std::chrono::milliseconds timeout);
    void set_write_timeout(std::chrono::milliseconds timeout);
    void set_read_timeout(std::chrono::milliseconds timeout);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillo::testing::http
