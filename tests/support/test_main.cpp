#include <gmock/gmock.h>

#include "platform.h"

int main(int argc, char** argv) {
  plat::InitProcess();
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
