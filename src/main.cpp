#include <optional>

#include "platform/children.h"
#include "platform/runner_messages.h"
#include "platform/test_runner.h"
#include "server/envelope.h"
#include "server/startup.h"
#include "suggest/selection.h"
#include "suggest/suggest.h"
#include "tools/front_end.h"

namespace {

tarnwick::ToolBackend tool_backend() {
  tarnwick::ToolBackend backend;
  backend.handle_tool_call = [](std::string_view name, const tarnwick::json& arguments,
                                const tarnwick::ProgressSink* sink, tarnwick::CancelFlag cancel) {
    return tarnwick::handle_tool_call(name, arguments, sink, std::move(cancel));
  };
  backend.elicit_suggestions = tarnwick::client_review_dialog();
  backend.filter_records_by_id = tarnwick::select_by_ids;
  backend.format_selection = tarnwick::format_selection;
  backend.format_suggestion_list = tarnwick::format_suggestion_list;
  return backend;
}

}  // namespace

int main(int argc, char** argv) {
  // cargo starts the server as the test runner when the runner program is
  // not installed beside it.
  if (argc > 1 && argv[1] == tarnwick::platform::kTestRunnerMode)
    return tarnwick::platform::run_test_runner(argc, argv);
  // Children die with the server, as a job object's processes die with its handle.
  tarnwick::platform::install_exit_signal_handlers();
  return tarnwick::run_server(argc, argv, tarnwick::make_tools_call_handler(tool_backend()));
}
