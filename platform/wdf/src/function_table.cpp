#include "function_table.h"

#include <cstdio>
#include <cstdlib>

#include "ddi.h"

namespace vel::wdf {

namespace {

// No driver can name a reserved entry (its header has no call for it), so reaching one means a
// corrupted table or index.
void reservedEntry() {
    std::fputs("framework: call through a reserved function-table entry\n", stderr);
    std::abort();
}

FunctionTable buildTable() {
    FunctionTable table{};
#define WDF_FUNCTION(r, n, p, a) \
    table[n##TableIndex] = VelFunctionCast<WDFFUNC>(static_cast<PFN_##n>(&ddi::n));
#define WDF_FUNCTION0(r, n) WDF_FUNCTION(r, n, , )
#include "wdf_functions.inc"
#undef WDF_FUNCTION
#undef WDF_FUNCTION0
    for (size_t i = WdfFunctionsDefinedCount; i < table.size(); ++i) {
        table[i] = &reservedEntry;
    }
    return table;
}

}  // namespace

const FunctionTable& functionTable() {
    static const FunctionTable table = buildTable();
    return table;
}

}  // namespace vel::wdf
