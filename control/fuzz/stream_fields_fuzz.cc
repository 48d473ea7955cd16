// The stream field reader and the OPTIONS line: whatever the input, fields stay within their
// widths, and a line that parses builds back into a line that parses to the same settings.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/records.h"
#include "control/options.h"
#include "control/stream_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qv;
  using namespace qv::control;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  StreamFields fields(input);
  char narrow[5];
  for (int i = 0; i < 50 && !fields.AtEnd(); ++i) {
    if (i % 3 == 0) {
      fields.Text(narrow);
      assert(std::strlen(narrow) < sizeof narrow);
    } else if (i % 3 == 1) {
      fields.Number();
    } else {
      std::string_view rest = fields.Rest();
      assert(rest.size() <= input.size());
      (void)rest;
      fields.Next();
    }
  }

  Settings settings;
  OptionsExtras extras;
  if (ParseOptionsLine(input, &settings, &extras)) {
    std::string line = BuildOptionsLine(settings, extras);
    Settings again;
    OptionsExtras extras_again;
    bool parsed = ParseOptionsLine(line, &again, &extras_again);
    assert(parsed);
    assert(BuildOptionsLine(again, extras_again) == line);
    (void)parsed;
  }
  USERSTRUCT user;
  ParseRecordLine(input, &user);
  return 0;
}
