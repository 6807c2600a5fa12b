// A small JSON writer for the headless commands: one document built in
// memory, indented two blanks a level, always valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

// The text as a JSON string literal, quotes included. Bytes that are not
// well-formed UTF-8 become U+FFFD, so the document stays readable as UTF-8.
std::string JsonQuote(std::string_view utf8);

class TJsonWriter {
public:
  TJsonWriter &BeginObject();
  TJsonWriter &EndObject();
  TJsonWriter &BeginArray();
  TJsonWriter &EndArray();
  // The name of the next member; only inside an object, once per value.
  TJsonWriter &Key(std::string_view name);
  TJsonWriter &String(std::string_view utf8);
  TJsonWriter &String(const WideString &text) { return String(WideToUtf8(text)); }
  TJsonWriter &Int(int64_t value);
  // The shortest text that reads back as the same double; null when not finite.
  TJsonWriter &Double(double value);
  TJsonWriter &Bool(bool value);
  TJsonWriter &Null();
  TJsonWriter &StringArray(const std::vector<std::string> &items);

  // The finished document with a final line end; a consistency failure
  // while containers are still open.
  std::string Text() const;

private:
  enum class Frame { Object, Array };
  void BeforeValue();
  void Scalar(std::string_view literal);
  void Open(Frame frame, char bracket);
  void Close(Frame frame, char bracket);
  void NewLine();

  std::string text_;
  std::vector<Frame> frames_;
  std::vector<bool> hasItems_;
  bool keyPending_ = false;
  bool done_ = false;
};

} // namespace tunbrix
