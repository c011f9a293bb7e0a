// Builds without a line editor: the shell reads its input as it is (a
// Windows console edits the line and keeps its history itself).
#include "platform/line_editor.h"

namespace platform {

std::unique_ptr<LineEditor> OpenTerminalLineEditor(const LineEditorSetup&, Reasons*) { return nullptr; }

}  // namespace platform
