#pragma once
// Line events that do nothing: the base of the fakes that record only what they look at.
#include "session/line_events.h"

class QuietLineEvents : public ILineTaskEvents {
public:
    void Status(int, const std::string&, bool) override {}
    void History(int, const std::string&) override {}
    void Progress(int, int) override {}
    void Picture(int, int) override {}
    void ModemVersionChanged(int) override {}
    void VersionsChanged(int) override {}
    void Available(int, bool) override {}
    void DiagPortShown(int, bool) override {}
    void Ready(int) override {}
    void CountersChanged() override {}
    void Message(const std::string&, bool) override {}
    bool AskDefaultNo(const std::string&) override { return false; }
    void ModeChanged(int) override {}
    void RunningChanged(int, bool) override {}
    void TaskReturned(int, std::optional<LineOutcome>) override {}
    void End(int, const std::string&, LineOutcome) override {}
    void Finished(int) override {}
    void Succeeded(int) override {}
    void Concluded(int, LineOutcome) override {}
};
