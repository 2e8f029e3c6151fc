// The screen view's page: HTML, style and the script that polls /state.
#pragma once

namespace rv270sim {

const char* ViewPage();

}  // namespace rv270sim
