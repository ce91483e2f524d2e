// Primitive-table lookup shared by the core layers (library-internal).
//
// Each layer owns a table of two function pointers, filled by its init and
// cleared by its exit. A caller fetches the table on first use and keeps the
// pointer; only that first fetch checks the table and the entry it needs.
#ifndef VESTRA_V2X_PRIM_H
#define VESTRA_V2X_PRIM_H

enum class PrimFetch { Ok, NoTable, NoEntry };

// Fetches the table into `kept` on first use. On NoTable or NoEntry the
// caller logs its own line for that case and fails with the table's code.
template <typename Table, typename Entry>
inline PrimFetch prim_fetch(Table*& kept, Table* (*getter)(void), Entry Table::*entry)
{
    if (kept != nullptr) {
        return PrimFetch::Ok;
    }
    Table* t = getter();
    if (t == nullptr) {
        return PrimFetch::NoTable;
    }
    if (t->*entry == nullptr) {
        return PrimFetch::NoEntry;
    }
    kept = t;
    return PrimFetch::Ok;
}

#endif
