#include "platform/mapi/table.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/mapi/mapi32.h"

namespace corvid::mapi {
namespace {

constexpr int kMaxRestrictionDepth = 64;

bool IsNumber(ULONG type) {
  return type == PT_I2 || type == PT_LONG || type == PT_BOOLEAN || type == PT_I8 || type == PT_SYSTIME ||
         type == PT_CURRENCY || type == PT_ERROR;
}
bool IsReal(ULONG type) { return type == PT_DOUBLE || type == PT_R4 || type == PT_APPTIME; }

int CompareText(const std::string& a, const std::string& b) {
  // Texts compare without regard to ASCII case, as stores do.
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// <0, 0, >0; nullopt when the two cannot be compared.
std::optional<int> Compare(const TProp& a, const TProp& b) {
  if (IsNumber(a.Type()) && IsNumber(b.Type())) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  if (IsReal(a.Type()) && IsReal(b.Type())) return a.real < b.real ? -1 : (a.real > b.real ? 1 : 0);
  if (a.Type() == PT_STRING8 && b.Type() == PT_STRING8) return CompareText(a.bytes, b.bytes);
  if (a.Type() == b.Type() && (a.Type() == PT_BINARY || a.Type() == PT_CLSID || a.Type() == PT_UNICODE)) {
    const int order = a.bytes.compare(b.bytes);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  }
  return std::nullopt;
}

bool Relate(ULONG relop, int order) {
  switch (relop) {
    case RELOP_LT:
      return order < 0;
    case RELOP_LE:
      return order <= 0;
    case RELOP_GT:
      return order > 0;
    case RELOP_GE:
      return order >= 0;
    case RELOP_EQ:
      return order == 0;
    case RELOP_NE:
      return order != 0;
    default:
      throw EMapiError(MAPI_E_TOO_COMPLEX, "Regular-expression restrictions are not offered");
  }
}

std::optional<TProp> Value(TRowSource& row, ULONG tag) {
  std::optional<TProp> value = row.Get(tag);
  if (!value || value->Type() == PT_ERROR) return std::nullopt;
  return value;
}

uint64_t SizeOf(const TProp& value) {
  switch (value.Type()) {
    case PT_STRING8:
      return value.bytes.size() + 1;
    case PT_UNICODE:
      return value.bytes.size() + 2;
    case PT_BINARY:
    case PT_CLSID:
      return value.bytes.size();
    case PT_I2:
    case PT_BOOLEAN:
      return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
      return 4;
    default:
      return 8;
  }
}

bool Matches(TRowSource& row, const SRestriction& r, int depth) {
  Require(depth < kMaxRestrictionDepth, MAPI_E_TOO_COMPLEX, "The restriction nests too deeply");
  switch (r.rt) {
    case RES_AND:
      Require(r.res.resAnd.cRes == 0 || r.res.resAnd.lpRes != nullptr, MAPI_E_INVALID_PARAMETER, "AND without terms");
      for (ULONG i = 0; i < r.res.resAnd.cRes; ++i) {
        if (!Matches(row, r.res.resAnd.lpRes[i], depth + 1)) return false;
      }
      return true;
    case RES_OR:
      Require(r.res.resOr.cRes == 0 || r.res.resOr.lpRes != nullptr, MAPI_E_INVALID_PARAMETER, "OR without terms");
      for (ULONG i = 0; i < r.res.resOr.cRes; ++i) {
        if (Matches(row, r.res.resOr.lpRes[i], depth + 1)) return true;
      }
      return false;
    case RES_NOT:
      Require(r.res.resNot.lpRes != nullptr, MAPI_E_INVALID_PARAMETER, "NOT without a term");
      return !Matches(row, *r.res.resNot.lpRes, depth + 1);
    case RES_PROPERTY: {
      Require(r.res.resProperty.lpProp != nullptr, MAPI_E_INVALID_PARAMETER, "A property restriction needs a value");
      const TProp wanted = FromSPropValue(*r.res.resProperty.lpProp);
      const std::optional<TProp> value = Value(row, r.res.resProperty.ulPropTag);
      if (!value) return false;
      const std::optional<int> order = Compare(*value, wanted);
      return order && Relate(r.res.resProperty.relop, *order);
    }
    case RES_BITMASK: {
      const std::optional<TProp> value = Value(row, r.res.resBitMask.ulPropTag);
      if (!value || !IsNumber(value->Type())) return false;
      const bool zero = (static_cast<uint64_t>(value->number) & r.res.resBitMask.ulMask) == 0;
      return r.res.resBitMask.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_EXIST:
      return Value(row, r.res.resExist.ulPropTag).has_value();
    case RES_CONTENT: {
      Require(r.res.resContent.lpProp != nullptr, MAPI_E_INVALID_PARAMETER, "A content restriction needs a value");
      const TProp wanted = FromSPropValue(*r.res.resContent.lpProp);
      const std::optional<TProp> value = Value(row, r.res.resContent.ulPropTag);
      if (!value || value->Type() != wanted.Type()) return false;
      std::string text = value->bytes;
      std::string pattern = wanted.bytes;
      if ((r.res.resContent.ulFuzzyLevel & FL_IGNORECASE) != 0) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : pattern) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      switch (r.res.resContent.ulFuzzyLevel & 0xFFFF) {
        case FL_SUBSTRING:
          return text.find(pattern) != std::string::npos;
        case FL_PREFIX:
          return text.compare(0, pattern.size(), pattern) == 0;
        default:
          return text == pattern;
      }
    }
    case RES_COMPAREPROPS: {
      const std::optional<TProp> a = Value(row, r.res.resCompareProps.ulPropTag1);
      const std::optional<TProp> b = Value(row, r.res.resCompareProps.ulPropTag2);
      if (!a || !b) return false;
      const std::optional<int> order = Compare(*a, *b);
      return order && Relate(r.res.resCompareProps.relop, *order);
    }
    case RES_SIZE: {
      const std::optional<TProp> value = Value(row, r.res.resSize.ulPropTag);
      if (!value) return false;
      const uint64_t size = SizeOf(*value);
      return Relate(r.res.resSize.relop, size < r.res.resSize.cb ? -1 : (size > r.res.resSize.cb ? 1 : 0));
    }
    case RES_COMMENT:
      return r.res.resComment.lpRes == nullptr || Matches(row, *r.res.resComment.lpRes, depth + 1);
    default:
      throw EMapiError(MAPI_E_TOO_COMPLEX, "This kind of restriction is not offered");
  }
}

// A deep copy of a caller's restriction, which the table keeps.
struct TRestrictionCopy {
  std::vector<std::unique_ptr<SRestriction[]>> arrays;
  std::vector<std::unique_ptr<SPropValue>> values;
  std::vector<std::string> texts;  // backing store for copied texts and bytes
  std::vector<std::unique_ptr<char[]>> buffers;
  std::unique_ptr<SRestriction> root;

  SPropValue* CopyValue(const SPropValue* source) {
    if (source == nullptr) return nullptr;
    auto value = std::make_unique<SPropValue>(*source);
    auto copy_bytes = [this](const void* data, size_t size) {
      auto buffer = std::make_unique<char[]>(size + 2);  // zero-filled, so texts end
      if (size > 0) std::memcpy(buffer.get(), data, size);
      char* raw = buffer.get();
      buffers.push_back(std::move(buffer));
      return raw;
    };
    switch (PROP_TYPE(source->ulPropTag)) {
      case PT_STRING8:
        if (source->Value.lpszA) value->Value.lpszA = copy_bytes(source->Value.lpszA, std::strlen(source->Value.lpszA));
        break;
      case PT_UNICODE:
        if (source->Value.lpszW) {
          size_t units = 0;
          while (source->Value.lpszW[units] != 0) ++units;
          value->Value.lpszW = reinterpret_cast<LPWSTR>(copy_bytes(source->Value.lpszW, units * 2));
        }
        break;
      case PT_BINARY:
        if (source->Value.bin.lpb) {
          value->Value.bin.lpb = reinterpret_cast<LPBYTE>(copy_bytes(source->Value.bin.lpb, source->Value.bin.cb));
        }
        break;
      case PT_CLSID:
        if (source->Value.lpguid) value->Value.lpguid = reinterpret_cast<LPGUID>(copy_bytes(source->Value.lpguid, 16));
        break;
      default:
        break;
    }
    SPropValue* raw = value.get();
    values.push_back(std::move(value));
    return raw;
  }

  void Copy(const SRestriction& source, SRestriction* target, int depth) {
    Require(depth < kMaxRestrictionDepth, MAPI_E_TOO_COMPLEX, "The restriction nests too deeply");
    *target = source;
    auto copy_list = [&](ULONG count, LPSRestriction list) -> LPSRestriction {
      if (count == 0 || list == nullptr) return nullptr;
      auto array = std::make_unique<SRestriction[]>(count);
      for (ULONG i = 0; i < count; ++i) Copy(list[i], &array[i], depth + 1);
      LPSRestriction raw = array.get();
      arrays.push_back(std::move(array));
      return raw;
    };
    switch (source.rt) {
      case RES_AND:
        target->res.resAnd.lpRes = copy_list(source.res.resAnd.cRes, source.res.resAnd.lpRes);
        break;
      case RES_OR:
        target->res.resOr.lpRes = copy_list(source.res.resOr.cRes, source.res.resOr.lpRes);
        break;
      case RES_NOT:
        target->res.resNot.lpRes = copy_list(1, source.res.resNot.lpRes);
        break;
      case RES_COMMENT:
        target->res.resComment.lpRes = copy_list(1, source.res.resComment.lpRes);
        target->res.resComment.lpProp = nullptr;
        target->res.resComment.cValues = 0;
        break;
      case RES_PROPERTY:
        target->res.resProperty.lpProp = CopyValue(source.res.resProperty.lpProp);
        break;
      case RES_CONTENT:
        target->res.resContent.lpProp = CopyValue(source.res.resContent.lpProp);
        break;
      case RES_BITMASK:
      case RES_EXIST:
      case RES_COMPAREPROPS:
      case RES_SIZE:
        break;
      default:
        throw EMapiError(MAPI_E_TOO_COMPLEX, "This kind of restriction is not offered");
    }
  }
};

class TTable : public TComObject<IMAPITable> {
 public:
  TTable(std::vector<std::shared_ptr<TRowSource>> rows, std::vector<ULONG> columns)
      : rows_(std::move(rows)), columns_(std::move(columns)) {
    for (size_t i = 0; i < rows_.size(); ++i) visible_.push_back(i);
  }

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override { return QueryAs(riid, ppvObject, {IID_IMAPITable}); }
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return LastErrorOf(error_, hResult, lppMAPIError);
  }
  HRESULT Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Unadvise(ULONG ulConnection) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override {
    if (lpulTableStatus == nullptr || lpulTableType == nullptr) return MAPI_E_INVALID_PARAMETER;
    *lpulTableStatus = TBLSTAT_COMPLETE;
    *lpulTableType = TBLTYPE_SNAPSHOT;
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) override {
    return Guarded(error_, [&] {
      Require(lpPropTagArray != nullptr, MAPI_E_INVALID_PARAMETER, "No columns");
      columns_ = TagsOf(lpPropTagArray);
      return S_OK;
    });
  }
  HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) override {
    return Guarded(error_, [&] {
      Require(lpPropTagArray != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lpPropTagArray = NewTagArray(columns_);
      return S_OK;
    });
  }
  HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) override {
    if (lpulCount == nullptr) return MAPI_E_INVALID_PARAMETER;
    *lpulCount = static_cast<ULONG>(visible_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override {
    return Guarded(error_, [&] {
      const int64_t start = Origin(bkOrigin);
      const int64_t target = std::clamp<int64_t>(start + lRowCount, 0, static_cast<int64_t>(visible_.size()));
      if (lplRowsSought) *lplRowsSought = static_cast<LONG>(target - start);
      cursor_ = static_cast<size_t>(target);
      return S_OK;
    });
  }
  HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) override {
    if (ulDenominator == 0) return MAPI_E_INVALID_PARAMETER;
    cursor_ = std::min(visible_.size(), static_cast<size_t>(uint64_t{visible_.size()} * ulNumerator / ulDenominator));
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override {
    if (lpulRow == nullptr || lpulNumerator == nullptr || lpulDenominator == nullptr) return MAPI_E_INVALID_PARAMETER;
    *lpulRow = static_cast<ULONG>(cursor_);
    *lpulNumerator = static_cast<ULONG>(cursor_);
    *lpulDenominator = static_cast<ULONG>(std::max<size_t>(visible_.size(), 1));
    return S_OK;
  }
  HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) override {
    return Guarded(error_, [&] {
      Require(lpRestriction != nullptr, MAPI_E_INVALID_PARAMETER, "No restriction");
      constexpr ULONG kDirBackward = 0x00000001;
      const bool backward = (ulFlags & kDirBackward) != 0;
      int64_t at = Origin(bkOrigin);
      if (backward) --at;
      while (at >= 0 && at < static_cast<int64_t>(visible_.size())) {
        if (Matches(*rows_[visible_[at]], *lpRestriction, 0)) {
          cursor_ = static_cast<size_t>(at);
          return S_OK;
        }
        at += backward ? -1 : 1;
      }
      return MAPI_E_NOT_FOUND;
    });
  }
  HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) override {
    return Guarded(error_, [&] {
      std::vector<size_t> visible;
      if (lpRestriction == nullptr) {
        for (size_t i = 0; i < rows_.size(); ++i) visible.push_back(i);
        restriction_.reset();
      } else {
        auto copy = std::make_unique<TRestrictionCopy>();
        copy->root = std::make_unique<SRestriction>();
        copy->Copy(*lpRestriction, copy->root.get(), 0);
        for (size_t i = 0; i < rows_.size(); ++i) {
          if (Matches(*rows_[i], *copy->root, 0)) visible.push_back(i);
        }
        restriction_ = std::move(copy);
      }
      visible_ = std::move(visible);
      cursor_ = 0;
      return S_OK;
    });
  }
  HRESULT CreateBookmark(BOOKMARK* lpbkPosition) override {
    if (lpbkPosition == nullptr) return MAPI_E_INVALID_PARAMETER;
    const BOOKMARK mark = next_bookmark_++;
    bookmarks_[mark] = cursor_;
    *lpbkPosition = mark;
    return S_OK;
  }
  HRESULT FreeBookmark(BOOKMARK bkPosition) override {
    return bookmarks_.erase(bkPosition) != 0 ? S_OK : MAPI_E_INVALID_BOOKMARK;
  }
  HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) override {
    if (lpSortCriteria == nullptr || lpSortCriteria->cSorts == 0) return S_OK;
    error_.Set("Tables keep the store's order; sorting is not offered");
    return MAPI_E_TOO_COMPLEX;
  }
  HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) override {
    return Guarded(error_, [&] {
      Require(lppSortCriteria != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      auto* set = static_cast<LPSSortOrderSet>(AllocateBuffer(sizeof(SSortOrderSet)));
      *lppSortCriteria = set;
      return S_OK;
    });
  }
  HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) override {
    return Guarded(error_, [&] {
      Require(lppRows != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lppRows = nullptr;
      std::vector<size_t> picked;
      size_t cursor = cursor_;
      if (lRowCount >= 0) {
        while (picked.size() < static_cast<size_t>(lRowCount) && cursor < visible_.size()) picked.push_back(cursor++);
      } else {
        while (picked.size() < static_cast<size_t>(-static_cast<int64_t>(lRowCount)) && cursor > 0) {
          picked.push_back(--cursor);
        }
        std::reverse(picked.begin(), picked.end());
      }
      auto* set = static_cast<LPSRowSet>(AllocateBuffer(CbNewSRowSet(static_cast<ULONG>(picked.size()))));
      set->cRows = 0;
      try {
        for (size_t index : picked) {
          TRowSource& row = *rows_[visible_[index]];
          std::vector<TProp> values;
          for (ULONG column : columns_) values.push_back(ValueAsAsked(column, row.Get(column), false));
          SRow& out = set->aRow[set->cRows];
          out.ulAdrEntryPad = 0;
          out.lpProps = NewPropArray(values, &out.cValues);
          ++set->cRows;
        }
      } catch (...) {
        FreeProws(set);
        throw;
      }
      if ((ulFlags & TBL_NOADVANCE) == 0) cursor_ = cursor;
      *lppRows = set;
      return S_OK;
    });
  }
  HRESULT Abort() override { return S_OK; }
  HRESULT ExpandRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags, LPSRowSet* lppRows,
                    ULONG* lpulMoreRows) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CollapseRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT WaitForCompletion(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) override {
    if (lpulTableStatus) *lpulTableStatus = TBLSTAT_COMPLETE;
    return S_OK;
  }
  HRESULT GetCollapseState(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState,
                           LPBYTE* lppbCollapseState) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetCollapseState(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                           BOOKMARK* lpbkLocation) override {
    return MAPI_E_NO_SUPPORT;
  }

 private:
  int64_t Origin(BOOKMARK bookmark) const {
    if (bookmark == BOOKMARK_BEGINNING) return 0;
    if (bookmark == BOOKMARK_CURRENT) return static_cast<int64_t>(cursor_);
    if (bookmark == BOOKMARK_END) return static_cast<int64_t>(visible_.size());
    auto it = bookmarks_.find(bookmark);
    Require(it != bookmarks_.end(), MAPI_E_INVALID_BOOKMARK, "No such bookmark");
    return static_cast<int64_t>(std::min(it->second, visible_.size()));
  }

  std::vector<std::shared_ptr<TRowSource>> rows_;
  std::vector<ULONG> columns_;
  std::vector<size_t> visible_;
  std::unique_ptr<TRestrictionCopy> restriction_;
  size_t cursor_ = 0;
  std::map<BOOKMARK, size_t> bookmarks_;
  BOOKMARK next_bookmark_ = 16;
};

}  // namespace

std::optional<TProp> TFixedRow::Get(ULONG tag) {
  for (const TProp& value : values_) {
    if (PROP_ID(value.tag) == PROP_ID(tag)) return value;
  }
  return std::nullopt;
}

IMAPITable* NewTable(std::vector<std::shared_ptr<TRowSource>> rows, std::vector<ULONG> default_columns) {
  return new TTable(std::move(rows), std::move(default_columns));
}

bool RowMatches(TRowSource& row, const SRestriction& restriction) { return Matches(row, restriction, 0); }

}  // namespace corvid::mapi
