#include "platform/thread/headless_window_thread.h"
#include "tests/common/window_thread_contract.h"

namespace tollander::testing {

using platform::HeadlessWindowThread;
INSTANTIATE_TYPED_TEST_SUITE_P(Headless, WindowThreadContract, HeadlessWindowThread);

} // namespace tollander::testing
