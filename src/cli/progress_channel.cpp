#include "cli/progress_channel.h"

#include <unistd.h>

#include <cmath>
#include <stdexcept>

#include "files/text_format.h"

namespace orvane::cli {

void JsonObject::key(const std::string& k) {
  if (!body_.empty()) body_ += ", ";
  body_ += files::json_quote(k) + ": ";
}

JsonObject& JsonObject::add(const std::string& k, const std::string& value) {
  key(k);
  body_ += files::json_quote(value);
  return *this;
}

JsonObject& JsonObject::add(const std::string& k, double value) {
  key(k);
  if (!std::isfinite(value)) {
    body_ += "null";  // JSON has no NaN or infinity
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", value);
    body_ += buf;
  }
  return *this;
}

JsonObject& JsonObject::add(const std::string& k, int value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add_raw(const std::string& k, const std::string& json) {
  key(k);
  body_ += json;
  return *this;
}

ProgressChannel::ProgressChannel(const std::string& target) {
  if (target.rfind("fd:", 0) == 0) {
    int fd = -1;
    try {
      fd = std::stoi(target.substr(3));
    } catch (const std::exception&) {
    }
    // Our own descriptor, so closing it never closes the parent's.
    const int copy = fd >= 0 ? dup(fd) : -1;
    if (copy >= 0) file_ = fdopen(copy, "w");
    if (!file_) {
      if (copy >= 0) close(copy);
      throw std::runtime_error("progress=" + target + ": not an open file descriptor");
    }
  } else {
    file_ = std::fopen(target.c_str(), "a");
    if (!file_) throw std::runtime_error("progress=" + target + ": cannot open for writing");
  }
}

ProgressChannel::~ProgressChannel() {
  if (file_) std::fclose(file_);
}

void ProgressChannel::write(const JsonObject& object) {
  const std::string line = object.str() + "\n";
  std::fputs(line.c_str(), file_);
  std::fflush(file_);
}

void ProgressChannel::write_error(const std::string& message) {
  write(JsonObject().add("event", "error").add("message", message));
}

}  // namespace orvane::cli
