#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/json.hpp"
#include "platform/json_lexer.hpp"

namespace arborvane::platform {

// Reads one JSON text front to back without building a value tree, for readers that know the
// shape they expect. The grammar and its checks are those of read_json: strict RFC 8259, one
// value followed only by whitespace, duplicate member names rejected, nesting limited to
// kJsonMaxDepth. Every failure throws JsonPullReader::Failure; type errors name the path of the
// value ("model.trees[3].nodes[7].depth: expected an unsigned integer, found -1").
//
// Views returned by next_member and read_string stay valid until the next call.
class JsonPullReader : JsonLexer {
 public:
  struct Failure {
    JsonError error;
  };

  explicit JsonPullReader(std::string_view text);

  // At an array: the text of each element, found by a quick scan of brackets and strings, for
  // reading the elements on several threads. Absent when the scan finds anything irregular;
  // the caller then reads the array in the usual way, which reports the problem.
  std::optional<std::vector<std::string_view>> element_texts() const;
  // One element from element_texts, read by its own reader: errors name the element's path and
  // its position in the whole text, as the reader that found it would have. After the
  // element's value, call finish_element.
  JsonPullReader element_reader(std::string_view element, std::size_t index) const;
  void finish_element();
  // After every element was read by its own reader: continues after the array.
  void skip_elements(const std::vector<std::string_view>& elements);

  // At an object: enters it. next_member then yields each member name in turn and returns
  // false once the object is closed; after a name, the member's value must be read or skipped.
  void begin_object();
  bool next_member(std::string_view& name);
  // The same without the duplicate check, for a reader that checks the names it knows itself:
  // it must pass every other name to check_other_member and report a repeat of a known one
  // with fail_duplicate_member.
  bool next_member_unchecked(std::string_view& name);
  void check_other_member(std::string_view name);
  [[noreturn]] void fail_duplicate_member();
  // At an array: enters it; next_element returns false once the array is closed.
  void begin_array();
  bool next_element();

  // The value at the current position, which must have the named type.
  std::uint64_t read_unsigned();
  std::uint16_t read_u16();
  std::uint8_t read_u8();
  double read_float();  // any number
  bool read_bool();
  std::string_view read_string();
  // Consumes a null and returns true, or leaves any other value in place and returns false.
  bool read_null();
  // Consumes one value of any type, checking its grammar.
  void skip_value();

  // After the top-level value: only whitespace may follow.
  void finish();

  // The position just inside the innermost open object, and a way back to it: a reader that
  // must see one member (a tag) before the others scans ahead and returns.
  struct ObjectMark {
    const char* position;
  };
  ObjectMark mark_object() const;
  void rewind_object(ObjectMark mark);

  // Fails with "<path of the current value>: <what>".
  [[noreturn]] void fail_here(std::string_view what) const;
  // Right after next_member returned false: the object just closed lacks member `name`.
  [[noreturn]] void fail_missing_member(std::string_view name) const;

 private:
  struct Frame {
    bool is_object = false;
    std::size_t index = 0;       // arrays: index of the current element
    std::string_view key;        // objects: name of the current member
    std::deque<std::string> owned_keys;  // storage of member names that held escapes
    std::vector<std::string_view> seen;  // objects: member names so far (duplicate check)
    std::unordered_set<std::string_view> seen_set;  // the same, once an object grows large
    const char* first_member = nullptr;
    const char* key_start = nullptr;  // objects: where the current member name begins
  };

  [[noreturn]] void syntax_failure();
  void expect_value_start();
  void open(bool is_object);
  std::string path(std::size_t frames) const;
  std::string describe_value_here();
  template <class U>
  U read_unsigned_as(std::string_view expected);
  void check_duplicate(Frame& frame, std::string_view name, const char* at);
  void close();
  bool advance_member(std::string_view& name);

  JsonPullReader(std::string_view whole, std::string_view part, std::string path_prefix,
                 std::size_t base_depth);

  std::vector<Frame> frames_;  // kept across objects so their buffers are reused
  std::size_t depth_ = 0;      // frames_[0, depth_) are open
  std::string path_prefix_;    // element readers: the path of their element
  std::size_t base_depth_ = 0;  // element readers: containers open around their element
  std::string scratch_;
};

}  // namespace arborvane::platform
