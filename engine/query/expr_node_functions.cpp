// Arithmetic, string and date/time function nodes.
#include <chrono>
#include <ctime>

#include "engine/base/engine_error.h"
#include "engine/platform/code_page.h"
#include "engine/query/expr_node.h"
#include "engine/table/comparison.h"
#include "engine/table/date_time.h"

namespace dadoveri {

namespace {

bool any_null(const std::vector<std::unique_ptr<TABSExprNode>>& children, std::vector<const TABSVariant*>& values) {
  values.clear();
  bool null = false;
  for (auto& c : children) {
    const TABSVariant& v = c->GetValue();
    values.push_back(&v);
    null = null || v.IsNull();
  }
  return null;
}

// The text of `values` joined, as ANSI or wide text by `wide`.
void concatenate(const std::vector<const TABSVariant*>& values, bool wide, TABSVariant& out) {
  if (wide) {
    std::u16string s;
    for (const TABSVariant* v : values) s += v->GetAsWideString();
    out.Clear(btWideString);
    out.SetAsWideString(s);
  } else {
    std::string s;
    for (const TABSVariant* v : values) s += v->GetAsString();
    out.Clear(btString);
    out.SetAsString(s);
  }
}

TABSColumnType string_result_type(TABSColumnType t) {
  if (t == ctMemo || t == ctFormattedMemo) return ctString;
  if (t == ctWideMemo) return ctWideString;
  if (IsStringColumnType(t)) return t;
  return ctString;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Arithmetic

const TABSVariant& TABSExprNodeArithmetic::GetValue() {
  switch (op_) {
    case opSum: {
      std::vector<const TABSVariant*>& values = operands_;
      const bool null = any_null(children_, values);
      bool text = false, wide = false, date = false;
      for (const TABSVariant* v : values) {
        text = text || v->IsString();
        wide = wide || v->IsWideString();
        date = date || v->IsDateTime();
      }
      if (null) {
        value_.Clear(values.empty() ? btNone : values[0]->ValueType());
        return value_;
      }
      // `+` between texts joins them.
      if (text && !date) {
        concatenate(values, wide, value_);
        return value_;
      }
      value_.Assign(*values[0], true);
      for (size_t i = 1; i < values.size(); ++i) value_.Add(*values[i]);
      return value_;
    }
    case opNegate:
    case opMultiply:
    case opDivide: {
      const TABSVariant& a = Child(0)->GetValue();
      if (a.IsNull()) {
        value_.Clear(a.ValueType());
        return value_;
      }
      if (op_ == opNegate) {
        value_.Assign(a, true);
        value_.Negate();
        return value_;
      }
      const TABSVariant& b = Child(1)->GetValue();
      if (b.IsNull()) {
        value_.Clear(a.ValueType());
        return value_;
      }
      value_.Assign(a, true);
      if (op_ == opMultiply) {
        value_.Multiply(b);
      } else {
        value_.Divide(b);
      }
      return value_;
    }
    case opLength: value_ = ScalarLength(Child(0)->GetValue()); return value_;
    case opPosition: value_ = ScalarPosition(Child(0)->GetValue(), Child(1)->GetValue()); return value_;
    case opDod: value_ = ScalarAbs(Child(0)->GetValue()); return value_;
    case opSqr: value_ = ScalarSqr(Child(0)->GetValue()); return value_;
    case opAcos: value_ = ScalarMath(TMathFunction::Acos, Child(0)->GetValue()); return value_;
    case opAsin: value_ = ScalarMath(TMathFunction::Asin, Child(0)->GetValue()); return value_;
    case opAtan: value_ = ScalarMath(TMathFunction::Atan, Child(0)->GetValue()); return value_;
    case opCos: value_ = ScalarMath(TMathFunction::Cos, Child(0)->GetValue()); return value_;
    case opSin: value_ = ScalarMath(TMathFunction::Sin, Child(0)->GetValue()); return value_;
    case opExp: value_ = ScalarMath(TMathFunction::Exp, Child(0)->GetValue()); return value_;
    case opLog: value_ = ScalarMath(TMathFunction::Log, Child(0)->GetValue()); return value_;
    case opSqrt: value_ = ScalarMath(TMathFunction::Sqrt, Child(0)->GetValue()); return value_;
    case opCeil: value_ = ScalarCeil(Child(0)->GetValue()); return value_;
    case opFloor: value_ = ScalarFloor(Child(0)->GetValue()); return value_;
    case opSign: value_ = ScalarSign(Child(0)->GetValue()); return value_;
    case opRand: value_ = ScalarRand(Child(0)->GetValue()); return value_;
    case opPower: value_ = ScalarPower(Child(0)->GetValue(), Child(1)->GetValue()); return value_;
    case opRound:
      if (ChildCount() == 1) {
        value_ = ScalarRound(Child(0)->GetValue());
      } else {
        value_ = ScalarRound(Child(0)->GetValue(), Child(1)->GetValue(), round_mode_);
      }
      return value_;
    default:
      RaiseError(30287, OperatorName(op_));
  }
}

TABSColumnType TABSExprNodeArithmetic::GetDataType() {
  switch (op_) {
    case opSum:
    case opNegate:
    case opMultiply:
    case opDivide:
      return common_child_type();
    case opLength: case opPosition: case opCeil: case opFloor: case opSign: case opRand:
      return ctInteger;
    case opRound:
      return ChildCount() == 1 ? ctInteger : ctFloat;
    case opDod: case opSqr:
      return Child(0)->GetDataType();
    default:
      return ctFloat;
  }
}

int32_t TABSExprNodeArithmetic::GetDataSize() { return TABSExprNode::GetDataSize(); }

// ---------------------------------------------------------------------------------------
// Strings

void TABSExprNodeStringFunction::Prepare() {
  TABSExprNode::Prepare();
  type_ = ctNone;
}

const TABSVariant& TABSExprNodeStringFunction::GetValue() {
  switch (op_) {
    case opConcat: {
      std::vector<const TABSVariant*>& values = operands_;
      if (any_null(children_, values)) {
        value_.Clear(values[0]->IsWideString() ? btWideString : btString);
        return value_;
      }
      bool wide = false;
      for (const TABSVariant* v : values) wide = wide || v->IsWideString();
      concatenate(values, wide, value_);
      return value_;
    }
    case opUpper: value_ = ScalarUpper(Child(0)->GetValue()); return value_;
    case opLower: value_ = ScalarLower(Child(0)->GetValue()); return value_;
    case opTrim: value_ = ScalarTrim(Child(0)->GetValue()); return value_;
    case opLTrim: value_ = ScalarLTrim(Child(0)->GetValue()); return value_;
    case opRTrim: value_ = ScalarRTrim(Child(0)->GetValue()); return value_;
    case opSubstring:
      if (ChildCount() == 2) {
        value_ = ScalarSubstring(Child(0)->GetValue(), Child(1)->GetValue());
      } else {
        value_ = ScalarSubstring(Child(0)->GetValue(), Child(1)->GetValue(), Child(2)->GetValue());
      }
      return value_;
    default:
      RaiseError(30287, OperatorName(op_));
  }
}

TABSColumnType TABSExprNodeStringFunction::GetDataType() {
  if (op_ == opConcat) {
    for (auto& c : children_)
      if (IsWideStringColumnType(c->GetDataType()) || c->GetDataType() == ctWideMemo) return ctWideString;
    return ctString;
  }
  return string_result_type(Child(0)->GetDataType());
}

int32_t TABSExprNodeStringFunction::GetDataSize() {
  if (op_ == opConcat) {
    int32_t size = 0;
    for (auto& c : children_) size += c->GetDataSize();
    return size;
  }
  return Child(0)->GetDataSize();
}

// ---------------------------------------------------------------------------------------
// Dates and times

namespace {

// The current local date and time.
TABSDateTime local_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  TABSDateTime dt;
  dt.Date = EncodeDayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday).value_or(kDateDelta);
  dt.Time = ((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 1000 + static_cast<int32_t>(ms);
  return dt;
}

}  // namespace

const TABSVariant& TABSExprNodeDateFunction::GetValue() {
  switch (op_) {
    case opCurrentTimestamp:
      value_.Clear(btDateTime);
      value_.SetAsDateTime(local_now());
      return value_;
    case opCurrentDate:
      value_.Clear(btDate);
      value_.SetAsDate(local_now().Date);
      return value_;
    case opCurrentTime:
      value_.Clear(btTime);
      value_.SetAsTime(local_now().Time);
      return value_;
    case opToDate: {
      const TABSVariant& s = Child(0)->GetValue();
      const TABSColumnType t = format_->GetDataType();
      const TABSBaseType b = t == ctDate ? btDate : t == ctTime ? btTime : btDateTime;
      value_.Clear(b);
      if (s.IsNull()) return value_;
      const double calendar = format_->ParseText(s.GetAsWideString());
      if (b == btDate) value_.SetAsTDate(calendar);
      else if (b == btTime) value_.SetAsTTime(calendar);
      else value_.SetAsTDateTime(calendar);
      return value_;
    }
    case opToString: {
      const TABSVariant& x = Child(0)->GetValue();
      value_.Clear(btString);
      if (x.IsNull()) return value_;
      value_.SetAsString(AnsiCodePage().ToAnsi(format_->FormatValue(x.GetAsTDateTime())));
      return value_;
    }
    case opExtract:
      value_ = ScalarExtract(part_, Child(0)->GetValue());
      return value_;
    default:
      RaiseError(30287, OperatorName(op_));
  }
}

TABSColumnType TABSExprNodeDateFunction::GetDataType() {
  switch (op_) {
    case opCurrentTimestamp: return ctDateTime;
    case opCurrentDate: return ctDate;
    case opCurrentTime: return ctTime;
    case opToDate: return format_->GetDataType();
    case opToString: return ctString;
    default: return ctWord;
  }
}

int32_t TABSExprNodeDateFunction::GetDataSize() { return op_ == opToString ? format_->GetDataSize() : 0; }

}  // namespace dadoveri
