// TABSLocalCursor: the cursor bound to a table of any registry (database file, in-memory,
// temporary). It implements the cursor's operation slots on the table data object; the
// dataset layer wraps it.
//
// BLOB fields of the current record open as TABSLocalBLOBStream (slots 38-40): one stream
// per field at a time; closing a stream opened for writing hands its value to the current
// record, stored with the record's post.
//
// Seams left: record locks and the edit's table lock in multi-user files (begin edit,
// cancel) and the table locks of slots 9 and 10, which the lock manager of the file will
// take.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/database/local_blob_stream.h"
#include "engine/table/cursor.h"

namespace dadoveri {

class TABSLocalCursor : public TABSCursor {
 public:
  TABSLocalCursor(TABSBaseSession* session, std::string table_name) : TABSCursor(session, std::move(table_name)) {}
  ~TABSLocalCursor() override;

  void CreateTable(const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                   const TABSConstraintDefs& constraints) override;
  void DeleteTable() override;
  void EmptyTable() override;
  void RenameTable(const std::string& new_name) override;
  void RefreshDefinitions() override;
  void Open(TABSDatabaseData& database) override;
  void Close() override;
  void Lock() override;
  void Unlock() override;
  bool LockTable(int32_t kind, int32_t tries, bool flag, int32_t pause_ms) override;
  void UnlockTable(int32_t kind, bool flag) override;
  void RenameField(const std::string& old_name, const std::string& new_name) override;
  TABSIndexDefs& GetIndexDefs() override;
  void AddIndex(TABSIndexDef& definition) override;
  void DeleteIndex(const std::string& name) override;
  void DeleteAllIndexes() override;
  std::string FindOrBuildIndexForFields(const std::vector<std::string>& field_names,
                                        const std::vector<std::string>& directions,
                                        const std::vector<std::string>& cases) override;
  bool HasIndexForFields(const std::vector<std::string>& field_names, const std::vector<std::string>& directions,
                         const std::vector<std::string>& cases) override;
  void CopyField(int32_t field_no, bool table_numbering, TABSCursor& other, int32_t other_field_no) override;
  void InitRecordBuffer(void* buffer, bool apply_defaults) override;
  void ReleaseRecordBuffer(void*& buffer) override;
  int64_t GetRecordCount() override;
  int32_t GetRecord(int32_t mode) override;
  void SetRecordNo(int64_t n) override;
  int64_t GetRecordNo() override;
  void BeginInsert() override {}
  int32_t BeginEditRecord() override { return BeginEdit(); }
  void Cancel(bool inserting) override;
  int32_t Post(bool inserting) override { return inserting ? PostInsert() : PostEdit(); }
  int32_t DeleteRecord() override { return DeleteCurrent(); }
  void SetKeyFields(const std::vector<std::string>& field_names, const std::vector<std::string>& directions,
                    const std::vector<std::string>& cases) override;
  void SetFilter(std::u16string_view text, bool case_insensitive, bool partial) override;
  void ClearFilter() override;
  bool Locate(std::string_view field_names, std::span<const TABSVariant> values, bool partial,
              bool case_insensitive) override;
  bool FindKey(int32_t kind) override;
  bool LocateByComparison(std::string_view field_name, uint8_t op, const TABSVariant& value) override;
  // `field_no`: visible numbering; `mode`: a TABSBlobOpenMode. "BLOB field already
  // opened" (10115) for a field with an open stream.
  void OpenBlobStream(int32_t field_no, int32_t mode) override;
  // A written stream's value becomes the current record's change of the field.
  void CloseBlobStream(int32_t field_no) override;
  // Drops the open streams (only those opened for writing when asked), unsaved.
  void FreeBlobStreams(bool only_writing) override;
  // The open stream of a field (visible numbering), null when none.
  TABSLocalBLOBStream* BlobStream(int32_t field_no) const;
  int64_t LastAutoincValue(int32_t field_no) override;
  void NotePendingChanges() override;
  void CommitPendingChanges() override;
  void RollbackPendingChanges() override;
  bool CheckConstraints(const void* record, const void* old_record, std::string* message, int32_t* code) override;

  // The key field count remembered by SetKeyFields.
  int32_t KeyFieldCount = 0;
  bool PendingChanges = false;

 private:
  TABSTableData& table() const;
  void refresh_index_copies();
  std::map<int32_t, std::unique_ptr<TABSLocalBLOBStream>> blob_streams_;
};

}  // namespace dadoveri
