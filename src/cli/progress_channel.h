#pragma once
// Machine-readable progress of `orvane train`: one JSON object per line, written to a file
// (appended) or to an inherited file descriptor ("fd:3"), flushed after every line so a
// reading process sees each event as it happens. Kept apart from the console text.

#include <cstdio>
#include <string>

namespace orvane::cli {

// A flat JSON object built field by field (numbers, text, or already-formatted JSON).
class JsonObject {
 public:
  JsonObject& add(const std::string& key, const std::string& value);
  JsonObject& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
  JsonObject& add(const std::string& key, double value);
  JsonObject& add(const std::string& key, int value);
  JsonObject& add(const std::string& key, float value) { return add(key, double(value)); }
  JsonObject& add(const std::string& key, long value) { return add(key, double(value)); }
  JsonObject& add_raw(const std::string& key, const std::string& json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void key(const std::string& k);
  std::string body_;
};

class ProgressChannel {
 public:
  // `target`: "fd:N" or a file path. Throws std::runtime_error when it cannot be opened.
  explicit ProgressChannel(const std::string& target);
  ~ProgressChannel();
  ProgressChannel(const ProgressChannel&) = delete;
  ProgressChannel& operator=(const ProgressChannel&) = delete;

  void write(const JsonObject& object);
  // {"event": "error", "message": ...}: how a run that failed ends its channel.
  void write_error(const std::string& message);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace orvane::cli
