#include "model/object_table.h"

bool ObjectTable::HasMissingCells() const {
    for (double v : values)
        if (v != v) return true;
    return false;
}
