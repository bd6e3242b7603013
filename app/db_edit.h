// Data-aware text controls: TDBEdit (one line) and TDBMemo (several lines) show one field of
// their data source's current record. Both follow the current record. TDBEdit also hands
// text put into it back to its field: when the dataset posts, it asks its controls to update
// the record, and an edit whose text changed since it last showed the field writes that text
// into the field (the copy-to-flashcard actions fill a new record this way).
#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>

#include <string>

#include "app/db_link.h"

namespace nilvar {

class TDBEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TDBEdit(QWidget* parent = nullptr);
  ~TDBEdit() override;

  dadoveri::TDataSource* DataSource() const { return link_.DataSource(); }
  void SetDataSource(dadoveri::TDataSource* source, TDatasetLock* lock = nullptr);
  const std::string& DataField() const { return link_.FieldName; }
  void SetDataField(const std::string& name);
  // Whether the text changed since the control last showed its field.
  bool TextChanged() const { return changed_; }

 private:
  void ShowField();
  void WriteField();
  TFieldDataLink link_;
  bool loading_ = false;
  bool changed_ = false;
};

class TDBMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TDBMemo(QWidget* parent = nullptr);
  ~TDBMemo() override;

  dadoveri::TDataSource* DataSource() const { return link_.DataSource(); }
  void SetDataSource(dadoveri::TDataSource* source, TDatasetLock* lock = nullptr);
  const std::string& DataField() const { return link_.FieldName; }
  void SetDataField(const std::string& name);

 private:
  void ShowField();
  TFieldDataLink link_;
};

// The text of `field` in the current record, wide or single-byte ("" when NULL or none).
QString FieldText(const dadoveri::TField* field);
// A field value as text: wide text as it is, single-byte text from the engine's code page,
// numbers in decimal, NULL as "".
QString ValueText(const dadoveri::TFieldValue& value);

}  // namespace nilvar
