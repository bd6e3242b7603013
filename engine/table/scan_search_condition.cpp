#include "engine/table/scan_search_condition.h"

#include <algorithm>

#include "engine/base/engine_error.h"

namespace dadoveri {

int32_t TABSScanSearchConditionArray::AddIndexCondition(const TABSScanSearchCondition& condition) {
  if (condition.IndexID == -1 || condition.KeyFieldCount < 1 || condition.Kind == sckExpression)
    RaiseError(10388, condition.IndexID, condition.KeyFieldCount);
  items_.push_back(condition);
  return Count() - 1;
}

int32_t TABSScanSearchConditionArray::AddExpressionCondition(TABSScanExpression* expression) {
  TABSScanSearchCondition condition;
  condition.Expression = expression;
  items_.push_back(std::move(condition));
  return Count() - 1;
}

void TABSScanSearchConditionArray::Delete(int32_t index) {
  if (index < 0 || index >= Count()) RaiseError(10413, index, Count());
  items_.erase(items_.begin() + index);
}

}  // namespace dadoveri

namespace dadoveri {

namespace {

bool same_condition(const TABSScanSearchCondition& a, const TABSScanSearchCondition& b) {
  return a.IndexID == b.IndexID && a.Kind == b.Kind && a.KeyFieldCount == b.KeyFieldCount &&
         a.Partial == b.Partial && a.CaseInsensitive == b.CaseInsensitive && a.KeyBuffer == b.KeyBuffer;
}

// One cell of the merge of two whole-valued conditions: kinds k1 (first) and k2 (second),
// c the order of their keys over the smaller field count, l1 and l2 their field counts.
// `to_equal` is set when the survivor becomes an equality.
TABSScanMergeResult merge_cell(uint8_t k1, uint8_t k2, int c, int32_t l1, int32_t l2, bool& to_equal) {
  const int32_t lmax = std::max(l1, l2), lmin = std::min(l1, l2);
  const TABSScanMergeResult longer = l1 == lmax ? smrFirst : smrSecond;
  const TABSScanMergeResult shorter = l1 == lmin ? smrFirst : smrSecond;
  to_equal = false;
  switch (k1) {
    case sckEqual:
      switch (k2) {
        case sckEqual: return c != 0 ? smrNone : longer;
        case sckBefore: return c < 0 ? smrFirst : smrNone;
        case sckAfter: return c > 0 ? smrFirst : smrNone;
        case sckBeforeOrEqual: return c < 0 ? smrFirst : c > 0 ? smrNone : l1 == lmax ? smrFirst : smrBoth;
        case sckAfterOrEqual: return c < 0 ? smrNone : c > 0 ? smrFirst : l1 == lmax ? smrFirst : smrBoth;
      }
      break;
    case sckBefore:
      switch (k2) {
        case sckEqual: return c > 0 ? smrSecond : smrNone;
        case sckBefore: return c < 0 ? smrFirst : c == 0 ? shorter : smrSecond;
        case sckAfter: return c <= 0 ? smrNone : smrBoth;
        case sckBeforeOrEqual: return c <= 0 ? smrFirst : smrSecond;
        case sckAfterOrEqual: return c < 0 ? smrNone : c == 0 ? (l1 == lmin ? smrNone : smrBoth) : smrBoth;
      }
      break;
    case sckAfter:
      switch (k2) {
        case sckEqual: return c < 0 ? smrSecond : smrNone;
        case sckBefore: return c >= 0 ? smrNone : smrBoth;
        case sckAfter: return c > 0 ? smrFirst : c == 0 ? shorter : smrSecond;
        case sckBeforeOrEqual: return c > 0 ? smrNone : c == 0 ? (l1 == lmin ? smrNone : smrBoth) : smrBoth;
        case sckAfterOrEqual: return c >= 0 ? smrFirst : smrSecond;
      }
      break;
    case sckBeforeOrEqual:
      switch (k2) {
        case sckEqual: return c < 0 ? smrNone : c > 0 ? smrSecond : l2 == lmax ? smrSecond : smrBoth;
        case sckBefore: return c < 0 ? smrFirst : c == 0 ? smrBoth : smrSecond;
        case sckAfter: return c < 0 ? smrNone : c == 0 ? (l2 == lmin ? smrNone : smrBoth) : smrBoth;
        case sckBeforeOrEqual: return c < 0 ? smrFirst : c == 0 ? longer : smrSecond;
        case sckAfterOrEqual:
          if (c < 0) return smrNone;
          if (c == 0 && l1 == l2) {
            to_equal = true;
            return longer;
          }
          return smrBoth;
      }
      break;
    case sckAfterOrEqual:
      switch (k2) {
        case sckEqual: return c > 0 ? smrNone : c < 0 ? smrSecond : l2 == lmax ? smrSecond : smrBoth;
        case sckBefore: return c > 0 ? smrNone : c == 0 ? (l2 == lmin ? smrNone : smrBoth) : smrBoth;
        case sckAfter: return c <= 0 ? smrSecond : smrFirst;
        case sckBeforeOrEqual:
          if (c > 0) return smrNone;
          if (c == 0 && l1 == l2) {
            to_equal = true;
            return longer;
          }
          return smrBoth;
        case sckAfterOrEqual: return c > 0 ? smrFirst : c == 0 ? longer : smrSecond;
      }
      break;
  }
  return smrBoth;
}

}  // namespace

TABSScanMergeResult MergeScanSearchConditions(TABSScanSearchCondition& first, TABSScanSearchCondition& second,
                                              const TABSScanKeyCompare& compare) {
  const uint8_t k1 = first.Kind, k2 = second.Kind;
  if (k1 < sckEqual || k1 > sckAfterOrEqual || k2 < sckEqual || k2 > sckAfterOrEqual) return smrBoth;
  if (first.IndexID != second.IndexID) return smrBoth;
  const int32_t l1 = first.KeyFieldCount, l2 = second.KeyFieldCount;
  // An equality narrows a strict inequality only when it fixes at least as many fields.
  if (k1 == sckEqual && (k2 == sckBefore || k2 == sckAfter) && l1 < l2) return smrBoth;
  if (k2 == sckEqual && (k1 == sckBefore || k1 == sckAfter) && l2 < l1) return smrBoth;
  const int32_t lmin = std::min(l1, l2);
  // A condition whose prefix part lies within the compared fields: its key is no single
  // point of the order, so the table below does not hold for it.
  const bool prefix_compared = (first.Partial && l1 == lmin) || (second.Partial && l2 == lmin);
  if (prefix_compared) {
    if (same_condition(first, second)) return smrFirst;
    if (first.Partial && second.Partial && l1 == l2 && first.CaseInsensitive == second.CaseInsensitive &&
        first.KeyBuffer == second.KeyBuffer &&
        ((k1 == sckBeforeOrEqual && k2 == sckAfterOrEqual) || (k1 == sckAfterOrEqual && k2 == sckBeforeOrEqual))) {
      // The same prefix from both sides: the keys that begin with it.
      first.Kind = sckEqual;
      return smrFirst;
    }
    return smrBoth;
  }
  const int c = compare(first, second, lmin);
  const int order = c < 0 ? -1 : c > 0 ? 1 : 0;
  bool to_equal = false;
  const TABSScanMergeResult result = merge_cell(k1, k2, order, l1, l2, to_equal);
  if (to_equal) (result == smrFirst ? first : second).Kind = sckEqual;
  return result;
}

int CompareScanConditionKeys(const TABSRecordKeyRef& keys, const TABSScanSearchCondition& a,
                             const TABSScanSearchCondition& b, int32_t field_count) {
  if (a.KeyBufferSize() < keys.RecordSize() || b.KeyBufferSize() < keys.RecordSize()) RaiseError(20078);
  return keys.CompareRecords(a.KeyBuffer.data(), b.KeyBuffer.data(), std::min(field_count, keys.PartCount()));
}

int CompareScanConditionKeys(TABSBTreeRecordIndex& index, const TABSScanSearchCondition& a,
                             const TABSScanSearchCondition& b, int32_t field_count) {
  return CompareScanConditionKeys(index.KeyRef(), a, b, field_count);
}

TABSIndexKeyCondition ToIndexKeyCondition(const TABSScanSearchCondition& condition) {
  TABSIndexKeyCondition key;
  key.Kind = condition.Kind;
  key.KeyRecord = condition.KeyBuffer.empty() ? nullptr : condition.KeyBuffer.data();
  key.KeyFieldCount = condition.KeyFieldCount;
  key.Partial = condition.Partial;
  return key;
}

}  // namespace dadoveri
