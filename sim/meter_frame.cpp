// Meter-side framing: checksum, reply frames and the request splitter.
#include "meter_frame.h"

#include <cctype>
#include <stdexcept>

namespace sim {

char Checksum(const std::string& counted) {
    // The accumulator is 16 bits wide on the meter as in the driver: a control byte makes its
    // term negative and the sum wraps below zero, which a wider sum would not reproduce.
    std::uint16_t sum = 0;
    for (const char c : counted) {
        sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(c) - 34);
    }
    return static_cast<char>(sum % 92 + 34);
}

std::string BuildFrame(const std::string& body) {
    const std::size_t length = body.size() + 3;
    if (length > 999) throw std::length_error("frame body too long");
    std::string counted = std::to_string(length);
    counted.insert(0, 3 - counted.size(), '0');
    counted += body;
    return "!" + counted + Checksum(counted) + "\r\n";
}

void RequestSplitter::Feed(const std::string& bytes, std::chrono::steady_clock::time_point now) {
    buffer_ += bytes;
    last_ = now;
}

std::optional<RawRequest> RequestSplitter::Next() {
    for (;;) {
        // Several request families carry a NUL behind their CR LF; it belongs to the request
        // and is no noise, even when it comes in a read of its own.
        if (afterFrame_ && !buffer_.empty()) {
            if (buffer_[0] == '\0') buffer_.erase(0, 1);
            afterFrame_ = false;
        }
        // Everything up to the next marker is noise.
        const std::size_t marker = buffer_.find('!');
        noise_ += buffer_.substr(0, marker == std::string::npos ? buffer_.size() : marker);
        if (marker == std::string::npos) {
            buffer_.clear();
            return std::nullopt;
        }
        buffer_.erase(0, marker);
        if (buffer_.size() < 4) return std::nullopt;

        const bool digits = std::isdigit(static_cast<unsigned char>(buffer_[1])) &&
                            std::isdigit(static_cast<unsigned char>(buffer_[2])) &&
                            std::isdigit(static_cast<unsigned char>(buffer_[3]));
        const int length = digits ? std::stoi(buffer_.substr(1, 3)) : 0;
        // A request names at least an address and a command; anything else is no frame
        // start, and the search goes on behind this marker.
        if (length < 6 || length > kMaxFrameLength) {
            noise_ += buffer_[0];
            buffer_.erase(0, 1);
            continue;
        }
        const std::size_t total = static_cast<std::size_t>(length) + 4;
        if (buffer_.size() < total) return std::nullopt;

        RawRequest request;
        request.bytes = buffer_.substr(0, total);
        request.body = buffer_.substr(4, static_cast<std::size_t>(length) - 3);
        const std::string counted = buffer_.substr(1, static_cast<std::size_t>(length));
        request.checksumOk = request.bytes[total - 3] == Checksum(counted) &&
                             request.bytes[total - 2] == '\r' && request.bytes[total - 1] == '\n';
        buffer_.erase(0, total);
        if (!buffer_.empty() && buffer_[0] == '\0') {
            request.bytes += '\0';
            buffer_.erase(0, 1);
        }
        afterFrame_ = true;
        return request;
    }
}

std::string RequestSplitter::TakeNoise() {
    std::string noise;
    noise.swap(noise_);
    return noise;
}

bool RequestSplitter::Expire(std::chrono::steady_clock::time_point now,
                             std::chrono::milliseconds gap) {
    if (buffer_.empty() || now - last_ <= gap) return false;
    noise_ += buffer_;
    buffer_.clear();
    return true;
}

}  // namespace sim
