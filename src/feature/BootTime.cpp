#include "feature/BootTime.h"

#include <utility>

#include "ShellCommand.h"
#include "TextUtil.h"
#include "TimeFormat.h"

namespace velk::feature {

BootTime::BootTime(std::string uptimeCommand) : command(std::move(uptimeCommand)) {}

std::string BootTime::getBootTime() const {
    if (nowSeconds() <= validAfter) {
        return std::string();
    }
    std::string output;
    runCommandLastLine(command, output);
    removeLineBreaks(output);
    return output;
}

}  // namespace velk::feature
