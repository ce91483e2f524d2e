// SPDX-License-Identifier: Apache-2.0
// Primitive-table lookup shared by the core layers (library-internal).
//
// Each layer owns a table of two function pointers, filled by its init and
// cleared by its exit. Every call reaches a table through prim_fetch, which
// looks it up afresh each time (one load) and checks the entry it needs: a
// layer that has stopped is never called through a pointer kept from before.
#ifndef VESTRA_V2X_PRIM_H
#define VESTRA_V2X_PRIM_H

enum class PrimFetch { Ok, NoTable, NoEntry };

// Puts the table into `out` and says whether the entry can be called; on
// anything but Ok the caller fails through prim_fail.
template <typename Table, typename Entry>
inline PrimFetch prim_fetch(Table*& out, Table* (*getter)(void), Entry Table::*entry)
{
    out = getter();
    if (out == nullptr) {
        return PrimFetch::NoTable;
    }
    return out->*entry == nullptr ? PrimFetch::NoEntry : PrimFetch::Ok;
}

// Logs why a lookup failed and returns the code to fail with: the table's own
// code when there is no table, -ERR_V2X_PARM_CONT when the layer is stopped.
int prim_fail(PrimFetch aicWhy, const char* aipcGetter, const char* aipcEntry, int aicNoTableRc);

// Fills a layer's table (init) or clears it (exit, with nulls); the layers
// whose tables have a request and an indication entry.
// Returns 0, the init's and exit's result.
template <typename Table>
inline int prim_set(Table& aopTable, decltype(aopTable.request) aicRequest,
                    decltype(aopTable.indication) aicIndication)
{
    aopTable.request = aicRequest;
    aopTable.indication = aicIndication;
    return 0;
}

#endif
