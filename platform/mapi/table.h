// The store's tables (contents, hierarchy, attachments, recipients, message
// stores): IMAPITable over rows that give property values on demand, with
// property, bitmask, existence, content, comparison and size restrictions
// combined by AND, OR and NOT. A table is a snapshot of the moment it was
// made. Internal to platform/mapi.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/mapi/mapi_object.h"

namespace corvid::mapi {

// One row: the value of a property by id (the type in `tag` is a wish).
class TRowSource {
 public:
  virtual ~TRowSource() = default;
  virtual std::optional<TProp> Get(ULONG tag) = 0;
};

// A row of fixed values.
class TFixedRow : public TRowSource {
 public:
  explicit TFixedRow(std::vector<TProp> values) : values_(std::move(values)) {}
  std::optional<TProp> Get(ULONG tag) override;

 private:
  std::vector<TProp> values_;
};

// A new table with these rows and default columns; one reference.
IMAPITable* NewTable(std::vector<std::shared_ptr<TRowSource>> rows, std::vector<ULONG> default_columns);

// Whether `row` passes `restriction`; raises MAPI_E_TOO_COMPLEX for kinds
// not offered. Exposed for tests.
bool RowMatches(TRowSource& row, const SRestriction& restriction);

}  // namespace corvid::mapi
