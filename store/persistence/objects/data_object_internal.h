// Pieces shared by the data-object sources: column positions of units and the index.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "store/persistence/objects/data_object.h"

namespace dataobject {

// Position of a column among the unit's values.
std::optional<std::size_t> UnitColumnPosition(const RowUnit* unit, const std::string& column);
// The unit held by the data object with the same table and key values, or null.
RowUnit* FindHeldUnit(DataObject* dataObject, const RowUnit* unit);
// Appends the unit to the collection and enters it in the index; false without a key.
bool AddIndexedUnit(DataObject* dataObject, RowCollection* collection, RowUnitPtr unit);
// True for a keyed table whose key values in the unit are all NULL.
bool AllKeyValuesNull(const RowUnit* unit);
// Rebuilds the index and the units' column links after collections moved.
void ReindexDataObject(DataObject* dataObject);

}  // namespace dataobject
