// The main of every test program (tests/common/test_main.cpp): each run gets
// a home of its own, and a test may start its own program again in a child
// role, which is never a test.
#pragma once

namespace tollander::testing {

// `program --child NAME` runs the role NAME in place of the tests and exits
// with what it returns. The child keeps the environment it was given (the
// parent's scratch home with it). Register at namespace scope:
//   const ChildRole kOtherRun("other-run", [] { ...; return 0; });
class ChildRole {
public:
    using Run = int (*)();
    ChildRole(const char* name, Run run);
};

// The switch that starts a role, for building a child's command line.
inline constexpr const char* kChildSwitch = "--child";

} // namespace tollander::testing
