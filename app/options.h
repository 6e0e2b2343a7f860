#pragma once
// The command line of rk880t-tool, parsed in full into one value, with the endpoints.
#include <optional>
#include <string>

#include "platform/endpoints.h"
#include "platform/ui_port.h"

namespace plat {

enum class RunMode { Default, CpeOnly, ModemAndCpe, BackupNv, RestoreNv };

struct Options {
    bool bHeadless = false;
    std::string wifiMax = "32";
    bool bWifiMaxGiven = false;
    Endpoints endpoints;
    bool bNoArpFlush = false;
    double timeScale = 1.0;
    bool bTimeScaleGiven = false;
    std::string root;            // empty: the default machine root
    std::string programFolder;   // empty: the executable's folder
    RunMode mode = RunMode::Default;
    int nvOption = -1;           // -1: not given; 0..3
    bool bPressDownload = false;
    double giveUpAfter = 0;      // 0: never
    bool bSimulate = false;
    std::string exportCsv;
    std::string exportSdi;
    bool bClearCounts = false;
    bool bDiagnose = false;      // --diagnose: the report of the way to the gateway
    bool bAnswerYes = true;
    bool bAnswerGiven = false;   // --answer was given (questions whose default is No need it)
    std::string restoreFrom;     // --restore-from: an NV restore takes its files from this folder
    bool bSetAddress = false;    // --set-address: set a temporary address toward the gateway without asking
    std::string adapter;         // --adapter: the adapter it goes on when several could
};

struct ParseResult {
    Options options;
    std::string error;  // non-empty when the command line is wrong
    bool bHelp = false;
    bool bVersion = false;
};

ParseResult ParseCommandLine(int argc, const char* const argv[]);
std::string UsageText();
// --help: the usage followed by every option in a line or two and the exit statuses.
std::string HelpText();

// The export, clear and diagnose commands (--export-csv, --export-sdi, --clear-counts, --diagnose): such a run starts
// without the link watcher, runs its commands and ends with their result, in every front end.
bool IsCommandRun(const Options& options);
// The chooser's answer that the command line gives: the path of --export-csv or --export-sdi for
// the save dialog of that export; nothing for any other dialog.
std::optional<std::string> CommandLineFileAnswer(const Options& options, const FileDialogSpec& dialogRequest);

}  // namespace plat
