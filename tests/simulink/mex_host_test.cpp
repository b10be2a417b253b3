// The stand-in's MEX calls where a real host fixes the behaviour: character
// arrays in storage order, empty texts, errors that unwind.
#include <gtest/gtest.h>

#include <string>

#include "mex.h"

namespace {

std::string toString(const mxArray* array) {
  char* text = mxArrayToString(array);
  std::string copy = text == nullptr ? "<null>" : text;
  mxFree(text);
  return copy;
}

TEST(MexHost, CharMatricesReadInStorageOrder) {
  const char* rows[] = {"ab", "cdef"};
  MxArrayPtr matrix(mxCreateCharMatrixFromStrings(2, rows));
  ASSERT_EQ(mxGetM(matrix.get()), 2u);
  ASSERT_EQ(mxGetN(matrix.get()), 4u);
  EXPECT_EQ(mxHost_getRow(matrix.get(), 0), "ab  ");
  EXPECT_EQ(mxHost_getRow(matrix.get(), 1), "cdef");
  // Column by column, blanks included, as the real hosts read a matrix.
  EXPECT_EQ(toString(matrix.get()), "acbd e f");

  MxArrayPtr vector(mxCreateString("image.ast"));
  EXPECT_EQ(mxGetM(vector.get()), 1u);
  EXPECT_EQ(toString(vector.get()), "image.ast");
}

TEST(MexHost, EmptyTextsAreZeroByZero) {
  MxArrayPtr none(mxCreateCharMatrixFromStrings(0, nullptr));
  MxArrayPtr empty(mxCreateString(""));
  for (const mxArray* array : {none.get(), empty.get()}) {
    EXPECT_TRUE(mxIsChar(array));
    EXPECT_EQ(mxGetM(array), 0u);
    EXPECT_EQ(mxGetN(array), 0u);
    EXPECT_EQ(toString(array), "");
  }
  EXPECT_EQ(toString(nullptr), "<null>");
}

TEST(MexHost, ErrorsUnwindWithIdentifierAndFormattedMessage) {
  bool destroyed = false;
  struct Guard {
    bool* flag;
    ~Guard() { *flag = true; }
  };
  try {
    Guard guard{&destroyed};
    mexErrMsgIdAndTxt("VELK:parameter", "Error %d while loading", 30);
  } catch (const MexError& e) {
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(e.identifier, "VELK:parameter");
    EXPECT_EQ(e.message, "Error 30 while loading");
    return;
  }
  ADD_FAILURE() << "mexErrMsgIdAndTxt returned";
}

}  // namespace
