// The catalogue records are one machine word per field without gaps: 32-bit words on the original platform.
#include <gtest/gtest.h>

#include <cstddef>

#include "kx/kx.h"
#include "kx/kxCatalog.h"

namespace {

constexpr std::size_t W = sizeof(void*);

TEST(Layout, RecordsAreWordsWithoutGaps) {
  EXPECT_EQ(sizeof(LibraryDescriptor), 4 * W);
  EXPECT_EQ(sizeof(ProcessorDescriptor), 10 * W);
  EXPECT_EQ(sizeof(PinDescriptor), 5 * W);
  EXPECT_EQ(sizeof(ParameterDescriptor), 3 * W);
  EXPECT_EQ(sizeof(DialogDescriptor), 4 * W);
  EXPECT_EQ(sizeof(InfoPair), 2 * W);
  EXPECT_EQ(sizeof(ProcessorList), 2 * W);

  EXPECT_EQ(offsetof(LibraryDescriptor, info), 3 * W);
  const std::size_t processor[] = {offsetof(ProcessorDescriptor, entry),    offsetof(ProcessorDescriptor, displayName),
                                   offsetof(ProcessorDescriptor, guid),     offsetof(ProcessorDescriptor, category),
                                   offsetof(ProcessorDescriptor, reserved), offsetof(ProcessorDescriptor, dialog),
                                   offsetof(ProcessorDescriptor, params),   offsetof(ProcessorDescriptor, inputs),
                                   offsetof(ProcessorDescriptor, outputs),  offsetof(ProcessorDescriptor, info)};
  for (std::size_t n = 0; n < 10; ++n) EXPECT_EQ(processor[n], n * W) << "field " << n + 1;
  const std::size_t pin[] = {offsetof(PinDescriptor, name), offsetof(PinDescriptor, required),
                             offsetof(PinDescriptor, typeMask), offsetof(PinDescriptor, defaultType),
                             offsetof(PinDescriptor, reserved)};
  for (std::size_t n = 0; n < 5; ++n) EXPECT_EQ(pin[n], n * W) << "field " << n + 1;
  EXPECT_EQ(offsetof(ParameterDescriptor, type), W);
  EXPECT_EQ(offsetof(ParameterDescriptor, defaultText), 2 * W);
  EXPECT_EQ(offsetof(DialogDescriptor, function), 2 * W);
  EXPECT_EQ(offsetof(DialogDescriptor, blank), 3 * W);
}

TEST(Layout, ThirtyTwoBitPlatformSizes) {
  if (W != 4) GTEST_SKIP() << "a 64-bit build; the 32-bit build checks the original sizes";
  EXPECT_EQ(sizeof(LibraryDescriptor), 16u);
  EXPECT_EQ(sizeof(ProcessorDescriptor), 40u);
  EXPECT_EQ(sizeof(PinDescriptor), 20u);
  EXPECT_EQ(sizeof(ParameterDescriptor), 12u);
  EXPECT_EQ(sizeof(DialogDescriptor), 16u);
}

TEST(Layout, VariantIsSixteenBytesWithItsValueAtOffsetEight) {
#if defined(_WIN64)
  EXPECT_EQ(sizeof(tagVARIANT), 24u);  // the system's VARIANT grows with its record member
#else
  EXPECT_EQ(sizeof(tagVARIANT), 16u);
#endif
  EXPECT_EQ(offsetof(tagVARIANT, lVal), 8u);
  EXPECT_EQ(offsetof(tagVARIANT, dblVal), 8u);
}

}  // namespace
