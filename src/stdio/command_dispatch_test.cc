#include "stdio/command_dispatch.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/helper_message_json.h"

namespace harlo {
namespace {

struct DispatchCase {
  const char* scenario;
  std::string line;
  DispatchAction action;
};

// Each parent line maps to exactly one action, with the report texts the
// parent compares.
TEST(CommandDispatch, MapsEachLineToItsAction) {
  const DispatchCase cases[] = {
      {"ping with a detail echoes it",
       R"({"kind":"command","command":"ping","detail":"abc","version":1})",
       ReportEvent{"pong", "abc"}},
      {"ping without a detail answers ping", R"({"kind":"command","command":"ping","version":1})",
       ReportEvent{"pong", "ping"}},
      {"ping with an empty detail echoes the empty text",
       R"({"kind":"command","command":"ping","detail":"","version":1})", ReportEvent{"pong", ""}},
      {"ping with a null detail answers ping",
       R"({"kind":"command","command":"ping","detail":null,"version":1})",
       ReportEvent{"pong", "ping"}},
      {"the version is not looked at", R"({"kind":"command","command":"ping","version":-42})",
       ReportEvent{"pong", "ping"}},
      {"key order does not matter", R"({"version":1,"command":"ping","kind":"command"})",
       ReportEvent{"pong", "ping"}},
      {"spaces and a carriage return around the object are whitespace",
       "  {\"kind\":\"command\",\"command\":\"ping\",\"version\":1} \r",
       ReportEvent{"pong", "ping"}},
      {"shutdown", R"({"kind":"command","command":"shutdown","version":1})", StopBridge{}},
      {"a command without its key", R"({"kind":"command","version":1})",
       ReportError{"unsupported helper command: <missing>"}},
      {"a null command counts as missing", R"({"kind":"command","command":null,"version":1})",
       ReportError{"unsupported helper command: <missing>"}},
      {"commands compare case-sensitively", R"({"kind":"command","command":"Ping","version":1})",
       ReportError{"unsupported helper command: Ping"}},
      {"an empty command is a command", R"({"kind":"command","command":"","version":1})",
       ReportError{"unsupported helper command: "}},
      {"a protocol payload gets one line feed",
       R"({"kind":"protocol","payload":"abc","version":1})", SendToClient{"abc\n"}},
      {"an empty payload sends a lone line feed", R"({"kind":"protocol","payload":"","version":1})",
       SendToClient{"\n"}},
      {"line feeds inside a payload go out unchanged",
       R"({"kind":"protocol","payload":"a\nb\n","version":1})", SendToClient{"a\nb\n\n"}},
      {"a protocol message's command is not looked at",
       R"({"kind":"protocol","payload":"x","command":"shutdown","version":1})",
       SendToClient{"x\n"}},
      {"a protocol message without a payload", R"({"kind":"protocol","version":1})",
       ReportError{"protocol helper message missing payload"}},
      {"a null payload counts as missing", R"({"kind":"protocol","payload":null,"version":1})",
       ReportError{"protocol helper message missing payload"}},
      {"kind event is not accepted from the parent", R"({"kind":"event","event":"x","version":1})",
       ReportError{"unsupported helper message kind: event"}},
      {"kind error is not accepted from the parent", R"({"kind":"error","detail":"x","version":1})",
       ReportError{"unsupported helper message kind: error"}},
      {"kinds compare case-sensitively", R"({"kind":"Command","command":"ping","version":1})",
       ReportError{"unsupported helper message kind: Command"}},
      {"an empty line is skipped", "", NoAction{}},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    EXPECT_EQ(dispatchLine(c.line), c.action);
  }
}

// A line that does not decode is reported with the decoder's own reason.
TEST(CommandDispatch, ReportsDecodeFailuresWithTheDecodersReason) {
  const std::string lines[] = {
      "   ",                                                   // a line of spaces is not empty
      "not json",                                              // not JSON at all
      "[1,2]",                                                 // not an object
      R"({"kind":"command","command":"ping"})",                // version missing
      R"({"kind":"command","command":"ping","version":1.5})",  // version not an integer
      R"({"kind":5,"version":1})",                             // kind of the wrong type
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const Result<HelperMessage, DecodeError> decoded = decodeHelperMessage(line);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(dispatchLine(line), DispatchAction{ReportError{"failed to decode helper command: " +
                                                             decoded.error().description()}});
  }
}

}  // namespace
}  // namespace harlo
