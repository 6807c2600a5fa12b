#include "app/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "foundation/assertions.h"

namespace tunbrix {
namespace {

bool InRange(std::string_view text, size_t at, unsigned char low, unsigned char high) {
  if (at >= text.size()) return false;
  const auto byte = static_cast<unsigned char>(text[at]);
  return byte >= low && byte <= high;
}

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  unsigned char low = 0x80, high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4;
  else
    return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (!InRange(text, at + 1, low, high)) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!InRange(text, at + i, 0x80, 0xBF)) return 0;
  return length;
}

void AppendEscaped(std::string &out, unsigned char c) {
  switch (c) {
  case '"': out += "\\\""; return;
  case '\\': out += "\\\\"; return;
  case '\b': out += "\\b"; return;
  case '\f': out += "\\f"; return;
  case '\n': out += "\\n"; return;
  case '\r': out += "\\r"; return;
  case '\t': out += "\\t"; return;
  }
  if (c < 0x20 || c == 0x7F) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
  } else {
    out += static_cast<char>(c);
  }
}

} // namespace

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (size_t at = 0; at < utf8.size();) {
    const size_t length = SequenceLength(utf8, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else if (length == 1) {
      AppendEscaped(out, static_cast<unsigned char>(utf8[at++]));
    } else {
      out.append(utf8.substr(at, length));
      at += length;
    }
  }
  return out + "\"";
}

void TJsonWriter::NewLine() {
  text_ += '\n';
  text_.append(2 * frames_.size(), ' ');
}

void TJsonWriter::BeforeValue() {
  TB_CHECK(!done_, "TJsonWriter: value after the document");
  if (frames_.empty()) return;
  if (frames_.back() == Frame::Object) {
    TB_CHECK(keyPending_, "TJsonWriter: object member without key");
    keyPending_ = false;
    return;
  }
  if (hasItems_.back()) text_ += ',';
  hasItems_.back() = true;
  NewLine();
}

void TJsonWriter::Open(Frame frame, char bracket) {
  BeforeValue();
  text_ += bracket;
  frames_.push_back(frame);
  hasItems_.push_back(false);
}

void TJsonWriter::Close(Frame frame, char bracket) {
  TB_CHECK(!frames_.empty() && frames_.back() == frame, "TJsonWriter: unbalanced close");
  TB_CHECK(!keyPending_, "TJsonWriter: key without value");
  const bool hadItems = hasItems_.back();
  frames_.pop_back();
  hasItems_.pop_back();
  if (hadItems) NewLine();
  text_ += bracket;
  if (frames_.empty()) done_ = true;
}

TJsonWriter &TJsonWriter::BeginObject() {
  Open(Frame::Object, '{');
  return *this;
}

TJsonWriter &TJsonWriter::EndObject() {
  Close(Frame::Object, '}');
  return *this;
}

TJsonWriter &TJsonWriter::BeginArray() {
  Open(Frame::Array, '[');
  return *this;
}

TJsonWriter &TJsonWriter::EndArray() {
  Close(Frame::Array, ']');
  return *this;
}

TJsonWriter &TJsonWriter::Key(std::string_view name) {
  TB_CHECK(!frames_.empty() && frames_.back() == Frame::Object && !keyPending_,
           "TJsonWriter: key outside an object");
  if (hasItems_.back()) text_ += ',';
  hasItems_.back() = true;
  NewLine();
  text_ += JsonQuote(name);
  text_ += ": ";
  keyPending_ = true;
  return *this;
}

void TJsonWriter::Scalar(std::string_view literal) {
  BeforeValue();
  text_ += literal;
  if (frames_.empty()) done_ = true;
}

TJsonWriter &TJsonWriter::String(std::string_view utf8) {
  Scalar(JsonQuote(utf8));
  return *this;
}

TJsonWriter &TJsonWriter::Int(int64_t value) {
  Scalar(std::to_string(value));
  return *this;
}

TJsonWriter &TJsonWriter::Double(double value) {
  if (!std::isfinite(value)) return Null();
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  Scalar(std::string(text, end));
  return *this;
}

TJsonWriter &TJsonWriter::Bool(bool value) {
  Scalar(value ? "true" : "false");
  return *this;
}

TJsonWriter &TJsonWriter::Null() {
  Scalar("null");
  return *this;
}

TJsonWriter &TJsonWriter::StringArray(const std::vector<std::string> &items) {
  BeginArray();
  for (const std::string &item : items)
    String(item);
  return EndArray();
}

std::string TJsonWriter::Text() const {
  TB_CHECK(done_, "TJsonWriter: document not finished");
  return text_ + "\n";
}

} // namespace tunbrix
