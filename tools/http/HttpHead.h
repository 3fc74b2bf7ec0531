// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The request line and headers of one HTTP/1.x request, as far as our servers need them.
struct HttpHead
{
    std::string method;
    std::string target;
    std::string path; // the target up to its query
    std::string query;
    std::optional<std::uint64_t> contentLength;
    bool chunked = false; // a body sent with a transfer coding
    bool expectContinue = false;
    bool keepAlive = true; // HTTP/1.1 without Connection: close
    std::string realIp;    // X-Real-IP, set by a reverse proxy
    bool fromPage = false; // an Origin or a Referer header, as a browser sends them

    // Parses the text before the blank line that ends the headers. 0 when it is a request
    // we can read, else the status to refuse it with. Whatever a proxy in front might read
    // differently is refused: a second Host or none (HTTP/1.1), a Transfer-Encoding
    // repeated, naming identity, or sent with a Content-Length. One empty line before the
    // request line is skipped, as clients may send one after a body.
    static int parse(std::string_view text, HttpHead &head);
};

// The reason phrase of a status, for the status line.
const char *httpReason(int status);

// The head of an answer, up to and with its blank line: status line, Content-Type,
// Content-Length, Cache-Control: no-store, `headers`, and Connection: close if `close`.
std::string httpResponseHead(int status, std::string_view contentType, std::uint64_t contentLength,
                             bool close,
                             const std::vector<std::pair<std::string, std::string>> &headers = {});
