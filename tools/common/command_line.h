#pragma once

// The command lines of the tools: long options (--name VALUE or --name=VALUE, -h for --help) read by
// Boost.Program_options, and the first lines every tool's main runs. Errors name the option and what went
// wrong in the tools' own words ("unknown option --x", "--x needs a value", "unexpected argument 'x'",
// "--x VALUE: expected ...").

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ara/core/result.h"

namespace camera_tools {

namespace po = boost::program_options;

enum class CommandLineErrc {
    kUnknownOption,       // an option the tool does not have
    kMissingValue,        // an option without its value
    kUnexpectedArgument,  // an argument that is no option
    kBadValue,            // a value the option does not take
    kSyntax,              // anything else Boost refuses
};

// What was wrong with the command line, and the message the tool prints.
struct CommandLineError {
    CommandLineErrc code;
    std::string message;
};

template <typename T>
using CommandLineResult = ara::core::Result<T, CommandLineError>;

// An empty table of options, as wide as the usage's other lines.
po::options_description WideOptionTable();

// How an option looks in the usage: --name VALUENAME  help. An option without a value name is a switch,
// given as --name alone; it reaches its Apply with an empty value.
struct OptionText {
    const char* name;
    const char* valueName;
    const char* help;
};

// Stores an option's value in the options; false when it is not what the option expects.
template <class Options>
using Apply = std::function<bool(const std::string& value, Options& options)>;

// One option of a tool, with a value the tool checks itself, so that its error can say what was expected.
template <class Options>
struct Option {
    OptionText text;
    const char* expected;  // the error reads "--name VALUE: expected <expected>"
    Apply<Options> apply;
};

// Stores the text in `field`; an empty text is refused unless `emptyAllowed`.
template <class Options>
Apply<Options> StoreText(std::string Options::*field, bool emptyAllowed = false) {
    return [field, emptyAllowed](const std::string& value, Options& options) {
        options.*field = value;
        return emptyAllowed || !value.empty();
    };
}

// Stores what `parse` (text to an optional value) makes of the text in `field`; refused when it makes
// nothing.
template <class Options, class Field, class Parse>
Apply<Options> StoreParsed(Field Options::*field, Parse parse) {
    return [field, parse](const std::string& value, Options& options) {
        auto parsed = parse(value);
        if (parsed) {
            options.*field = std::move(*parsed);
        }
        return parsed.has_value();
    };
}

// A finite number greater than 0, the whole text.
std::optional<double> ParsePositive(const std::string& text);

// Text options (the last occurrence of a repeated one wins) and -h/--help.
po::options_description DescribeTextOptions(const std::vector<OptionText>& options);

// The value of a text option, when it was given; an empty text for a switch that was given.
std::optional<std::string> TextValue(const po::variables_map& values, const char* name);

// Parses the arguments after the program name against `options`.
CommandLineResult<po::variables_map> ParseCommandLine(const po::options_description& options,
                                                      const std::vector<std::string>& arguments);

template <class Options>
po::options_description DescribeOptions(const std::vector<Option<Options>>& table) {
    std::vector<OptionText> texts;
    for (const Option<Options>& option : table) {
        texts.push_back(option.text);
    }
    return DescribeTextOptions(texts);
}

// Options from the arguments after the program name, read with `table`; `help` is set by -h/--help.
template <class Options>
CommandLineResult<Options> ParseOptions(const std::vector<Option<Options>>& table,
                                        const std::vector<std::string>& arguments) {
    using Parsed = CommandLineResult<Options>;
    const auto values = ParseCommandLine(DescribeOptions(table), arguments);
    if (!values.HasValue()) {
        return Parsed::FromError(values.Error());
    }
    Options options;
    options.help = values.Value().count("help") != 0;
    for (const Option<Options>& option : table) {
        const auto value = TextValue(values.Value(), option.text.name);
        if (value && !option.apply(*value, options)) {
            const std::string shown = value->empty() ? "''" : *value;
            return Parsed::FromError(
                {CommandLineErrc::kBadValue,
                 "--" + std::string(option.text.name) + " " + shown + ": expected " + option.expected});
        }
    }
    return Parsed::FromValue(std::move(options));
}

// `head` (the synopsis and what the tool does), then the options' table.
std::string UsageText(const std::string& head, const po::options_description& options);

// The arguments after the program name. Before anything else: reopens closed standard descriptors, which the
// first files opened would take (and then receive the tool's output).
std::vector<std::string> ToolArguments(int argc, const char* const* argv);

// Prints `tool: error` and the usage on stderr; the exit status of a bad command line.
int RefuseCommandLine(const char* tool, const std::string& error, const std::string& usage);

// Prints the usage on stdout; the exit status after --help.
int ShowUsage(const std::string& usage);

// Prints `tool: stopped by an unexpected failure: what` on stderr (nothing else is known by then, memory
// may have run out); the exit status 70 (EX_SOFTWARE).
int ReportUnexpected(const char* tool, const char* what) noexcept;

// A tool's command line: its options' table and its usage.
template <class Options>
class CommandLine {
  public:
    // `head` is the usage's synopsis and what the tool does; the options' table follows it.
    CommandLine(const std::string& head, std::vector<Option<Options>> table)
        : table_(std::move(table)), usage_(UsageText(head, DescribeOptions(table_))) {}

    CommandLineResult<Options> Parse(const std::vector<std::string>& arguments) const {
        return ParseOptions(table_, arguments);
    }
    const std::string& Usage() const { return usage_; }

  private:
    std::vector<Option<Options>> table_;
    std::string usage_;
};

// A tool's main: reopens the standard descriptors, reads the command line with `parse` and answers --help;
// then `run` with the options. The exit status: 2 for a bad command line (the error and the usage on
// stderr), 0 after --help, 70 when an exception ends the tool (see ReportUnexpected), else `run`'s.
template <class Parse, class Run>
int RunTool(const char* tool, int argc, const char* const* argv, Parse parse, const std::string& usage,
            Run run) noexcept {
    try {
        auto parsed = parse(ToolArguments(argc, argv));
        if (!parsed.HasValue()) {
            return RefuseCommandLine(tool, parsed.Error().message, usage);
        }
        if (parsed.Value().help) {
            return ShowUsage(usage);
        }
        return run(std::move(parsed).Value());
    } catch (const std::exception& error) {
        return ReportUnexpected(tool, error.what());
    } catch (...) {
        return ReportUnexpected(tool, "an exception of unknown type");
    }
}

template <class Options, class Run>
int RunTool(const char* tool, int argc, const char* const* argv, const CommandLine<Options>& commandLine,
            Run run) noexcept {
    const auto parse = [&commandLine](const std::vector<std::string>& arguments) {
        return commandLine.Parse(arguments);
    };
    return RunTool(tool, argc, argv, parse, commandLine.Usage(), run);
}

}  // namespace camera_tools
