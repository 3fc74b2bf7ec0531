// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpHead.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
               || std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
    });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x))
               == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Whether a comma-separated header value lists this token.
bool lists(std::string_view value, std::string_view token)
{
    while (!value.empty()) {
        const auto comma = value.find(',');
        if (equalsIgnoringCase(trimmed(value.substr(0, comma)), token))
            return true;
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return false;
}

} // namespace

int HttpHead::parse(std::string_view text, HttpHead &head)
{
    constexpr int badRequest = 400;
    if (text.starts_with("\r\n"))
        text.remove_prefix(2);
    auto lineEnd = text.find("\r\n");
    const std::string_view requestLine = text.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos)
        return badRequest;
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target =
        requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = requestLine.substr(secondSpace + 1);
    if (!isToken(method) || !target.starts_with('/')
        || target.find_first_of(" \t\r\n") != std::string_view::npos)
        return badRequest;
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return version.starts_with("HTTP/") ? 505 : badRequest;
    head.method = method;
    head.target = target;
    const auto question = target.find('?');
    head.path = target.substr(0, question);
    if (question != std::string_view::npos)
        head.query = target.substr(question + 1);
    const bool http10 = version == "HTTP/1.0";
    head.keepAlive = !http10;
    int hosts = 0;
    bool transferEncoding = false;

    while (lineEnd != std::string_view::npos) {
        text.remove_prefix(lineEnd + 2);
        lineEnd = text.find("\r\n");
        const std::string_view line = text.substr(0, lineEnd);
        const auto colon = line.find(':');
        // No folded lines, no space before the colon, no bare CR, LF or NUL: a bare LF
        // would hide a header inside another's value.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))
            || line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return badRequest;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "Content-Length")) {
            std::uint64_t length = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), length);
            if (head.contentLength || error != std::errc() || end != value.data() + value.size())
                return badRequest;
            head.contentLength = length;
        } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            if (transferEncoding || value.empty() || lists(value, "identity"))
                return badRequest;
            transferEncoding = true;
            head.chunked = true;
        } else if (equalsIgnoringCase(name, "Host")) {
            ++hosts;
        } else if (equalsIgnoringCase(name, "Expect")) {
            if (!equalsIgnoringCase(value, "100-continue"))
                return 417;
            head.expectContinue = true;
        } else if (equalsIgnoringCase(name, "Connection")) {
            // HTTP/1.0's keep-alive would need the answer to say it too: such a connection
            // is closed after its answer instead.
            if (lists(value, "close"))
                head.keepAlive = false;
        } else if (equalsIgnoringCase(name, "X-Real-IP")) {
            head.realIp = value;
        } else if (equalsIgnoringCase(name, "Origin") || equalsIgnoringCase(name, "Referer")) {
            head.fromPage = true;
        }
    }
    if (hosts > 1 || (hosts == 0 && !http10) || (transferEncoding && head.contentLength))
        return badRequest;
    return 0;
}

const char *httpReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 417:
        return "Expectation Failed";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    case 507:
        return "Insufficient Storage";
    default:
        return "Status";
    }
}

std::string httpResponseHead(int status, std::string_view contentType, std::uint64_t contentLength,
                             bool close,
                             const std::vector<std::pair<std::string, std::string>> &headers)
{
    std::string text =
        "HTTP/1.1 " + std::to_string(status) + ' ' + httpReason(status) + "\r\nContent-Type: ";
    text += contentType;
    text +=
        "\r\nContent-Length: " + std::to_string(contentLength) + "\r\nCache-Control: no-store\r\n";
    for (const auto &[name, value] : headers)
        text += name + ": " + value + "\r\n";
    if (close)
        text += "Connection: close\r\n";
    return text + "\r\n";
}
