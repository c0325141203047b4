// Whether a test harness ("XCTest") counts as loaded in this process.
//
// Code that refuses a blocking call on the main thread lets it through while a test harness is
// loaded. Here nothing is loaded unless a test says so; the flag is process-wide and may be read
// and written from any thread.
#ifndef PLATFORM_FOUNDATION_XCTEST_H_
#define PLATFORM_FOUNDATION_XCTEST_H_

namespace platform::foundation {

void SetXCTestLoaded(bool loaded);
bool IsXCTestLoaded();

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_XCTEST_H_
