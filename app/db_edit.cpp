#include "app/db_edit.h"

#include <mutex>

#include "app/dataset_lock.h"
#include "engine/dataset/field.h"
#include "engine/platform/code_page.h"

namespace nilvar {
namespace {

// Runs `body` under the control's dataset lock, when it has one.
template <typename Body>
void Locked(TDatasetLock* lock, Body body) {
  if (!lock) {
    body();
    return;
  }
  std::lock_guard guard(*lock);
  body();
}

}  // namespace

QString FieldText(const dadoveri::TField* field) {
  if (!field) return {};
  return QString::fromStdU16String(field->AsWideString());
}

QString ValueText(const dadoveri::TFieldValue& value) {
  if (const auto* wide = std::get_if<std::u16string>(&value)) return QString::fromStdU16String(*wide);
  if (const auto* bytes = std::get_if<std::string>(&value))
    return QString::fromStdU16String(dadoveri::AnsiCodePage().ToWide(*bytes));
  if (const auto* whole = std::get_if<int64_t>(&value)) return QString::number(*whole);
  if (const auto* real = std::get_if<double>(&value)) return QString::number(*real, 'g', 15);
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? QStringLiteral("True") : QStringLiteral("False");
  return {};
}

TDBEdit::TDBEdit(QWidget* parent)
    : QLineEdit(parent), link_(this, [this] { ShowField(); }) {
  link_.OnUpdateData = [this] { WriteField(); };
  connect(this, &QLineEdit::textChanged, this, [this] {
    if (!loading_) changed_ = true;
  });
}

TDBEdit::~TDBEdit() = default;

void TDBEdit::SetDataSource(dadoveri::TDataSource* source, TDatasetLock* lock) {
  link_.Lock = lock;
  Locked(lock, [&] { link_.SetDataSource(source); });
  ShowField();
}

void TDBEdit::SetDataField(const std::string& name) {
  link_.FieldName = name;
  ShowField();
}

void TDBEdit::ShowField() {
  QString text;
  Locked(link_.Lock, [&] { text = FieldText(link_.Field()); });
  loading_ = true;
  setText(text);
  loading_ = false;
  changed_ = false;
}

void TDBEdit::WriteField() {
  if (!changed_) return;
  dadoveri::TField* field = link_.Field();
  if (!field) return;
  field->SetAsWideString(text().toStdU16String());
  changed_ = false;
}

TDBMemo::TDBMemo(QWidget* parent) : QPlainTextEdit(parent), link_(this, [this] { ShowField(); }) {}

TDBMemo::~TDBMemo() = default;

void TDBMemo::SetDataSource(dadoveri::TDataSource* source, TDatasetLock* lock) {
  link_.Lock = lock;
  Locked(lock, [&] { link_.SetDataSource(source); });
  ShowField();
}

void TDBMemo::SetDataField(const std::string& name) {
  link_.FieldName = name;
  ShowField();
}

void TDBMemo::ShowField() {
  QString text;
  Locked(link_.Lock, [&] { text = FieldText(link_.Field()); });
  // Only a real change of content counts as one (and fires the content-change event).
  if (text != toPlainText()) setPlainText(text);
}

}  // namespace nilvar
