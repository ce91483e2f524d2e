// SPDX-License-Identifier: Apache-2.0
// Primitive-table lookup shared by the core layers (library-internal).
//
// Each layer owns a table of two function pointers, filled by its init and
// cleared by its exit. Every call reaches a table through prim_fetch, which
// looks it up afresh each time (one load) and checks the entry it needs: a
// layer that has stopped is never called through a pointer kept from before.
#ifndef VESTRA_V2X_PRIM_H
#define VESTRA_V2X_PRIM_H

enum class PrimFetch { Ok, NoEntry };

// Puts the table into `out` (a getter never returns null) and says whether
// the entry can be called; on NoEntry the caller fails through prim_fail.
template <typename Table, typename Entry>
inline PrimFetch prim_fetch(Table*& out, Table* (*getter)(void), Entry Table::*entry)
{
    out = getter();
    return out->*entry == nullptr ? PrimFetch::NoEntry : PrimFetch::Ok;
}

// Logs that the entry is null (its layer is stopped) and returns the code to
// fail with, -ERR_V2X_PARM_CONT.
int prim_fail(const char* aipcEntry);

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
