// TABSMetaObjectDef and TABSMetaObjectDefs: the base of every table definition (fields,
// indexes, constraints) and of the ordered lists that own them; the byte streams the
// definitions are saved to and loaded from; the letter-case rule for object names.
//
// Stored form: integers little-endian; a "text" is one length byte followed by that many
// single-byte characters; every definition begins with its Name as text and its ObjectID
// (4 bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/variant.h"

namespace dadoveri {

// Longest name a definition, a table or a constraint reference can carry.
inline constexpr size_t kMaxObjectNameLength = 255;

// Object names are compared without regard to letter case: both sides upper-cased with
// the ANSI code page's upper-case rule.
std::string UpperCaseName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);

// Appends the stored form to a byte string.
class TABSMetaWriter {
 public:
  void WriteInt8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void WriteBool(bool v) { WriteInt8(v ? 1 : 0); }
  void WriteInt32(int32_t v) { WriteRaw(&v, 4); }
  void WriteInt64(int64_t v) { WriteRaw(&v, 8); }
  void WriteRaw(const void* data, size_t count);
  // A name as text; names longer than 255 characters cannot be stored (the caller has
  // already refused them), so they are cut at 255.
  void WriteText(std::string_view text);
  // A TABSVariant: base type 1; null marker 1 (0 = has a value); with a value its data
  // size 4 and the data bytes.
  void WriteVariant(const TABSVariant& value);

  const std::string& Bytes() const { return bytes_; }
  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Whether `size` bytes are a value of `type` as values are stored: a known base type,
// the one size of a fixed-size type, text ending with its terminator, wide text of whole
// 16-bit units. An empty value of any known type fits (it reads back as a null).
bool StoredValueFits(TABSBaseType type, const uint8_t* data, int32_t size);

// Reads the stored form back. A stream that ends early raises "Cannot read from stream.
// Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d" (10086); a stored
// value that does not fit its type "Invalid stored value. Type = %d, Size = %d" (40301).
class TABSMetaReader {
 public:
  TABSMetaReader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  explicit TABSMetaReader(std::string_view bytes) : TABSMetaReader(bytes.data(), bytes.size()) {}

  uint8_t ReadInt8();
  bool ReadBool() { return ReadInt8() != 0; }
  int32_t ReadInt32();
  int64_t ReadInt64();
  void ReadRaw(void* data, size_t count);
  std::string ReadText();
  void ReadVariant(TABSVariant& value);

  size_t Position() const { return position_; }
  size_t Size() const { return size_; }
  size_t Remaining() const { return size_ - position_; }
  bool AtEnd() const { return position_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

class TABSMetaObjectDef {
 public:
  TABSMetaObjectDef() = default;
  virtual ~TABSMetaObjectDef() = default;
  TABSMetaObjectDef(const TABSMetaObjectDef&) = default;
  TABSMetaObjectDef& operator=(const TABSMetaObjectDef&) = default;

  // Virtual operations, in slot order.
  virtual void Assign(const TABSMetaObjectDef& source);  // 0
  virtual void LoadFromStream(TABSMetaReader& stream);   // 1
  virtual void SaveToStream(TABSMetaWriter& stream) const;  // 2

  // The class name, as messages print it.
  virtual const char* ClassName() const { return "TABSMetaObjectDef"; }

  std::string Name;
  int32_t ObjectID = -1;

 protected:
  // The definition head: Name as text, ObjectID.
  void load_head(TABSMetaReader& stream);
  void save_head(TABSMetaWriter& stream) const;
};

class TABSMetaObjectDefs {
 public:
  TABSMetaObjectDefs() = default;
  virtual ~TABSMetaObjectDefs() = default;
  TABSMetaObjectDefs(const TABSMetaObjectDefs&) = delete;
  TABSMetaObjectDefs& operator=(const TABSMetaObjectDefs&) = delete;

  // Virtual operations, in slot order.
  virtual int32_t Count() const;                                        // 0
  virtual void Add(std::unique_ptr<TABSMetaObjectDef> item);            // 1
  // Creates an item of the list's class and adds it at the end. The base list has no
  // item class: "The method '%s' not overrided in class '%s'" (30339).
  virtual TABSMetaObjectDef* InternalAddCreated();                      // 2
  virtual void LoadFromStream(TABSMetaReader& stream);                  // 3
  virtual void SaveToStream(TABSMetaWriter& stream) const;              // 4
  // Clears this list and copies every item of `source` in order; an item whose name is
  // already in the list is refused with "Duplicate field name %s" (10424).
  virtual void Assign(const TABSMetaObjectDefs& source);                // 5
  virtual void Delete(int32_t index);                                   // 6
  virtual void Insert(int32_t index, std::unique_ptr<TABSMetaObjectDef> item);  // 7
  virtual void Move(int32_t from, int32_t to);                          // 8
  virtual void Clear();                                                 // 9

  virtual const char* ClassName() const { return "TABSMetaObjectDefs"; }

  TABSMetaObjectDef* Item(int32_t index) const { return items_[static_cast<size_t>(index)].get(); }
  // First item with the name (letter case ignored); -1 / null when absent.
  int32_t IndexOf(std::string_view name) const;
  TABSMetaObjectDef* Find(std::string_view name) const;
  int32_t IndexOfObjectID(int32_t object_id) const;
  TABSMetaObjectDef* FindByObjectID(int32_t object_id) const;

 protected:
  // A new item of the list's class (null for the base list), not yet in the list.
  virtual std::unique_ptr<TABSMetaObjectDef> create_item() const { return nullptr; }
  std::vector<std::unique_ptr<TABSMetaObjectDef>> items_;
};

}  // namespace dadoveri
