// The registry contract the modules rely on: opening, creating, querying, enumerating and
// deleting keys and values through the ANSI calls, key security, the classes root, and saving
// keys to hive files and restoring them.
#include "conformance/calls.h"

namespace dravlin::conformance {
namespace {

using Registry = Calls;
using Hive = Calls;

DRAVLIN_CALLS(Registry, OpenCreateDelete)
DRAVLIN_CALLS(Registry, ValuesKeepTheirBytes)
DRAVLIN_CALLS(Registry, RegQueryValueExA)
DRAVLIN_CALLS(Registry, RegEnumKeyExA)
DRAVLIN_CALLS(Registry, RegEnumValueAndQueryInfo)
DRAVLIN_CALLS(Registry, DeadHandles)
DRAVLIN_CALLS(Registry, AccessRights)
DRAVLIN_CALLS(Registry, ClassesRoot)
DRAVLIN_CALLS(Hive, RegSaveKeyA)
DRAVLIN_CALLS(Hive, RegRestoreKeyA)
DRAVLIN_CALLS(Hive, RestoreWithoutForce)
}  // namespace
}  // namespace dravlin::conformance
