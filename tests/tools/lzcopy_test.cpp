// Containers packed by tools/szdd in the host tree, expanded through LZ32 the
// way the updater expands its payloads: LZOpenFileW on both files, LZCopy
// file to file. The host tree writes every sample as NAME.bin and its
// container as NAME.szdd into bin/szdd-samples.

#include <windows.h>

#include <lzexpand.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_support.h"

namespace {

const wchar_t kSamples[] = TAGMIND_HOST_BIN_DIR L"\\szdd-samples\\";

struct Case {
  const wchar_t* name;
  bool compressible;  // the container must come out smaller than the input
};

// Edge cases of the stream: no item at all, a lone item in a short last
// group, runs beyond the longest reference, references into the initial
// spaces, the farthest reach (4095) and one beyond it, a ring that wraps many
// times, random data, and two real libraries of about a payload's size.
const Case kCases[] = {
    {L"empty", false},         {L"one-byte", false},      {L"one-space", false},
    {L"long-run", true},       {L"leading-spaces", true}, {L"all-bytes", true},
    {L"text", true},           {L"random", false},        {L"distance-4095", true},
    {L"distance-4096", false}, {L"wrap", true},           {L"pe-i386", true},
    {L"pe-x86_64", true},
};

using test::Narrow;

std::string FirstDifference(const std::string& got, const std::string& want) {
  const auto where = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return "sizes " + std::to_string(got.size()) + " / " + std::to_string(want.size()) + ", first difference at offset " +
         std::to_string(where.first - got.begin());
}

TEST(LzCopyTest, ExpandsEveryPackedSampleByteForByte) {
  test::ScratchDir scratch(L"lzcopy");
  for (const Case& c : kCases) {
    SCOPED_TRACE(Narrow(c.name));
    std::wstring container = std::wstring(kSamples) + c.name + L".szdd";
    std::wstring expanded = scratch.File(std::wstring(c.name) + L".out");
    ASSERT_NE(GetFileAttributesW(container.c_str()), INVALID_FILE_ATTRIBUTES)
        << Narrow(container) << " is missing: build the host tree first (TAGMIND_HOST_BIN_DIR)";
    const std::string input = test::ReadFileBytes(std::wstring(kSamples) + c.name + L".bin");
    const std::string packed = test::ReadFileBytes(container);
    // LZCopy copies a file that is not a container as it is: make sure this one is.
    ASSERT_EQ(packed.substr(0, 8), std::string("SZDD\x88\xF0\x27\x33", 8));
    if (c.compressible) {
      EXPECT_LT(packed.size(), input.size());
    }

    OFSTRUCT sourceInfo = {};
    sourceInfo.cBytes = sizeof sourceInfo;
    OFSTRUCT destinationInfo = {};
    destinationInfo.cBytes = sizeof destinationInfo;
    SetLastError(0xdeadbeef);
    const INT source = LZOpenFileW(&container[0], &sourceInfo, OF_READ);
    ASSERT_GE(source, 0) << "LZOpenFileW(source): " << source << ", error " << GetLastError();
    SetLastError(0xdeadbeef);
    const INT destination = LZOpenFileW(&expanded[0], &destinationInfo, OF_CREATE | OF_WRITE);
    if (destination < 0) LZClose(source);
    ASSERT_GE(destination, 0) << "LZOpenFileW(destination): " << destination << ", error " << GetLastError();
    const LONG copied = LZCopy(source, destination);
    LZClose(source);
    LZClose(destination);

    EXPECT_EQ(copied, static_cast<LONG>(input.size()));
    const std::string output = test::ReadFileBytes(expanded);
    EXPECT_TRUE(output == input) << FirstDifference(output, input);
  }
}

}  // namespace
