// Database errors of the dataset layer: EDatabaseError whose text comes from the one message
// table and is prefixed by the component's name and ": " when the component has a name.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "engine/base/engine_error.h"

namespace dadoveri {

class TComponent;

// Message codes of the dataset layer (rows of the message table).
enum : int32_t {
  kMsgDatabaseNameMissing = 40901,
  kMsgDatabaseFileMissing = 40902,
  kMsgDatabaseOpenError = 40903,
  kMsgDatabaseOpen = 40904,
  kMsgDatabaseClosed = 40905,
  kMsgDuplicateDatabaseName = 40906,
  kMsgDatabaseInTransaction = 40907,
  kMsgCannotCreateDatabase = 40908,
  kMsgSessionActive = 40909,
  kMsgSessionNameMissing = 40910,
  kMsgDuplicateSessionName = 40911,
  kMsgAutoSessionNameRename = 40912,
  kMsgAutoSessionNameTwoSessions = 40913,
  kMsgAutoSessionNameAddSession = 40914,
  kMsgUnknownError = 40915,
  kMsgRepairingDatabase = 40916,
  kMsgOldFormatNotice = 40917,
  kMsgRepairQuestion = 40918,
  kMsgRepairReplaceFailed = 40919,
  kMsgDataSetClosed = 40920,
  kMsgDataSetOpen = 40921,
  kMsgDataSetReadOnly = 40922,
  kMsgFieldNotFound = 40923,
  kMsgNotEditing = 40924,
  kMsgFieldReadOnly = 40925,
  kMsgFieldRequired = 40926,
  kMsgInvalidIntegerValue = 40927,
  kMsgInvalidFloatValue = 40928,
  kMsgInvalidBoolValue = 40929,
  kMsgInvalidDateTimeValue = 40930,
  kMsgCircularDataLink = 40931,
  kMsgDataSetEmpty = 40932,
  kMsgFieldTypeMismatch = 40933,
  kMsgOperationNotSupported = 40934,
  kMsgRepairTableFailed = 40935,
  kMsgCopyFieldNulled = 40936,
  kMsgCopyRecordSkipped = 40937,
  kMsgTerminatedByUser = 40938,
  kMsgDataSetDatabaseNameBlank = 40939,
  kMsgMissingTableName = 40940,
  kMsgErrorAddingRecord = 40941,
  kMsgCopyTableCaption = 40942,
  kMsgImportTableCaption = 40943,
  kMsgRestructureTableCaption = 40944,
  kMsgRestructureCreateFailed = 40945,
  kMsgRestructureDeleteFailed = 40946,
  kMsgImportCreateFailed = 40947,
  kMsgImportCopyFailed = 40948,
  kMsgImportIndexSkipped = 40949,
  kMsgParameterNotFound = 40960,
};

// The message text of `code` with its arguments, prefixed by "Name: " for a named component.
std::string DatabaseErrorText(int32_t code, const TComponent* component, std::initializer_list<ErrorArg> args = {});

[[noreturn]] void DatabaseErrorArgs(int32_t code, const TComponent* component, std::initializer_list<ErrorArg> args);

template <typename... Args>
[[noreturn]] void DatabaseError(int32_t code, const TComponent* component, const Args&... args) {
  DatabaseErrorArgs(code, component, {ErrorArg(args)...});
}

// Silent abort of an operation (an event handler's way to stop it without a message).
class EAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

}  // namespace dadoveri
