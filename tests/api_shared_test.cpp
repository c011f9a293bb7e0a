// The shared library as a program links it (liborvel.so, orvel.dll): only
// the C API is reachable, and it works without a device.
#include <gtest/gtest.h>

#include <string>

#include "orvel/orvel.h"

TEST(SharedLibrary, ChecksProgramsThroughItsExportedApi) {
  EXPECT_STREQ(orvel_version(), "Orvel ROM DFU V0.0.1");
  orvel_session* session = orvel_session_new();
  ASSERT_NE(session, nullptr);
  const uint8_t program[0x10] = {1, 2, 3};
  ASSERT_EQ(orvel_set_flash_size(session, 0), ORVEL_OK);
  ASSERT_EQ(orvel_add_program_bytes(session, "app.bin", program, sizeof program, 0x3F000), ORVEL_OK);

  EXPECT_EQ(orvel_check(session), ORVEL_ERROR_REFUSED);
  ASSERT_GE(orvel_reason_count(session), 1u);
  EXPECT_EQ(std::string(orvel_reason_text(session, 0)),
            "'app.bin' (0x0003F000..0x0003F010) does not fit the program area, which ends at 0x0003F000 with -s 0; "
            "with -s 1 it fits");
  // The reasons stay when the language changes, to be read again in it.
  ASSERT_EQ(orvel_set_language(session, ORVEL_CHINESE), ORVEL_OK);
  EXPECT_EQ(std::string(orvel_reason_text(session, 0)).rfind("“app.bin”（0x0003F000..0x0003F010）超出芯片程序区", 0), 0u);

  ASSERT_EQ(orvel_set_flash_size(session, 1), ORVEL_OK);
  ASSERT_EQ(orvel_check(session), ORVEL_OK);
  EXPECT_EQ(orvel_reason_count(session), 0u);
  ASSERT_EQ(orvel_program_count(session), 1u);
  EXPECT_STREQ(orvel_program_name(session, 0), "app.bin");
  uint32_t start = 0, length = 0, crc = 0;
  ASSERT_EQ(orvel_program_layout(session, 0, &start, &length, &crc), ORVEL_OK);
  EXPECT_EQ(start, 0x3F000u);
  EXPECT_EQ(length, 0x10u);
  EXPECT_EQ(crc, 0x96344E8Eu);  // zlib.crc32 of the 16 bytes
  orvel_session_free(session);
}
