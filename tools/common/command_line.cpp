#include "command_line.h"

#include <boost/program_options.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "vcu/os/files.h"

namespace camera_tools {
namespace {

// Arguments that are not options are collected under this name and refused.
constexpr const char* kStray = "unexpected-argument";

}  // namespace

po::options_description WideOptionTable() {
    constexpr unsigned kLineLength = 110;
    return po::options_description("options", kLineLength, kLineLength / 2);
}

po::options_description DescribeTextOptions(const std::vector<OptionText>& options) {
    po::options_description table = WideOptionTable();
    for (const OptionText& option : options) {
        if (option.valueName == nullptr) {
            table.add_options()(option.name, po::bool_switch(), option.help);
        } else {
            table.add_options()(option.name,
                                po::value<std::vector<std::string>>()->value_name(option.valueName),
                                option.help);
        }
    }
    table.add_options()("help,h", "this text");
    return table;
}

std::optional<double> ParsePositive(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0.0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> TextValue(const po::variables_map& values, const char* name) {
    const auto found = values.find(name);
    if (found == values.end()) {
        return std::nullopt;
    }
    if (const bool* given = boost::any_cast<bool>(&found->second.value())) {
        return *given ? std::optional<std::string>(std::string()) : std::nullopt;  // a switch
    }
    return found->second.as<std::vector<std::string>>().back();
}

CommandLineResult<po::variables_map> ParseCommandLine(const po::options_description& options,
                                                      const std::vector<std::string>& arguments) {
    using Parsed = CommandLineResult<po::variables_map>;
    po::options_description all;
    all.add(options).add_options()(kStray, po::value<std::vector<std::string>>());
    po::positional_options_description stray;
    stray.add(kStray, -1);
    // Boost refuses "--name=" outright; here it gives the option an empty value, which the tool then judges.
    std::vector<std::string> split;
    for (const std::string& argument : arguments) {
        const bool emptyValue = argument.size() > 3 && argument.rfind("--", 0) == 0 &&
                                argument.back() == '=' && argument.find('=') == argument.size() - 1;
        split.push_back(emptyValue ? argument.substr(0, argument.size() - 1) : argument);
        if (emptyValue) {
            split.emplace_back();
        }
    }
    po::variables_map values;
    try {
        po::store(po::command_line_parser(split)
                      .options(all)
                      .positional(stray)
                      .style(po::command_line_style::unix_style ^ po::command_line_style::allow_guessing)
                      .run(),
                  values);
        po::notify(values);
    } catch (const po::unknown_option& failure) {
        return Parsed::FromError(
            {CommandLineErrc::kUnknownOption, "unknown option " + failure.get_option_name()});
    } catch (const po::invalid_command_line_syntax& failure) {
        if (failure.kind() == po::invalid_command_line_syntax::missing_parameter) {
            return Parsed::FromError(
                {CommandLineErrc::kMissingValue, failure.get_option_name() + " needs a value"});
        }
        if (failure.kind() == po::invalid_command_line_syntax::extra_parameter) {
            return Parsed::FromError(
                {CommandLineErrc::kBadValue, failure.get_option_name() + " takes no value"});
        }
        return Parsed::FromError({CommandLineErrc::kSyntax, failure.what()});
    } catch (const po::error& failure) {
        return Parsed::FromError({CommandLineErrc::kSyntax, failure.what()});
    }
    if (const auto found = values.find(kStray); found != values.end()) {
        return Parsed::FromError(
            {CommandLineErrc::kUnexpectedArgument,
             "unexpected argument '" + found->second.as<std::vector<std::string>>()[0] + "'"});
    }
    return Parsed::FromValue(std::move(values));
}

std::string UsageText(const std::string& head, const po::options_description& options) {
    std::ostringstream text;
    text << head << options;
    return text.str();
}

std::vector<std::string> ToolArguments(int argc, const char* const* argv) {
    vcu::os::OpenStandardDescriptors();
    return std::vector<std::string>(argv + 1, argv + argc);
}

int RefuseCommandLine(const char* tool, const std::string& error, const std::string& usage) {
    std::cerr << tool << ": " << error << "\n" << usage;
    return 2;
}

int ShowUsage(const std::string& usage) {
    std::cout << usage;
    return 0;
}

int ReportUnexpected(const char* tool, const char* what) noexcept {
    std::fprintf(stderr, "%s: stopped by an unexpected failure: %s\n", tool, what);
    return 70;
}

}  // namespace camera_tools
