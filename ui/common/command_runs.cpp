#include "ui/common/command_runs.h"

#include "form/control_ids.h"
#include "pcside/gateway_path.h"
#include "platform/socket.h"
#include "session/pc_address.h"

void CCommandLineRun::BeforeStart() {
    if (!m_options.bPressDownload) return;
    CLinePresenter& presenter = m_app.View().Presenter();
    // Whatever observer the front end or a test set keeps running first.
    presenter.observers.onLineReady = [this, before = presenter.observers.onLineReady](int line) {
        if (before) before(line);
        if (line != 0 || m_bDownloadPressed.exchange(true)) return;
        m_app.View().Host().PostToGui([this] {
            if (m_app.View().IsTornDown()) return;
            ApplyRadios();
            m_app.View().OnCommand(ids::DOWNLOAD_0);
        });
    };
}

void CCommandLineRun::Started() {
    ApplyRadios();
    if (plat::IsCommandRun(m_options)) m_app.View().Host().PostToGui([this] { RunCommands(); });
}

void CCommandLineRun::ApplyRadios() {
    int mode = -1;
    switch (m_options.mode) {
        case plat::RunMode::CpeOnly: mode = 0; break;
        case plat::RunMode::ModemAndCpe: mode = 1; break;
        case plat::RunMode::BackupNv: mode = 2; break;
        case plat::RunMode::RestoreNv: mode = 3; break;
        case plat::RunMode::Default: break;
    }
    if (mode >= 0) m_app.View().OnModeRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    if (m_options.nvOption >= 0 && m_options.nvOption < 4) {
        m_app.Form().CheckRadio(ids::NV_OPTION_RADIOS[static_cast<size_t>(m_options.nvOption)]);
        m_app.Doc().m_nNvOption = m_options.nvOption;
    }
}

bool CCommandLineRun::Diagnose() {
    CServiceToolView& view = m_app.View();
    const gateway_path::Facts facts = gateway_path::GatherFacts(m_options.endpoints, view.TerminalIp(), view.English());
    bool bReady = false;
    std::vector<std::string> lines = gateway_path::Report(facts, view.English(), bReady);
    uint32_t gateway = 0;
    if (facts.adapterError.empty() && plat::ParseIpv4(facts.gateway, gateway) && !plat::IsLoopbackAddress(facts.gateway)) {
        const std::string set =
            pc_address::DiagnoseLine(gateway, facts.adapters, m_options.adapter, plat::MayChangeAddresses());
        // Before the verdict, which stays the last line.
        if (!set.empty()) lines.insert(lines.end() - 1, set);
    }
    for (const std::string& line : lines) view.Presenter().Status(0, line, false);
    return bReady;
}

void CCommandLineRun::RunCommands() {
    CServiceToolView& view = m_app.View();
    if (view.IsTornDown()) return;
    CFormCommands& commands = view.Commands();
    bool ok = true;
    if (!m_options.exportCsv.empty()) ok = commands.ExportCsv() && ok;
    if (!m_options.exportSdi.empty()) ok = commands.ExportSdi() && ok;
    if (m_options.bClearCounts) ok = commands.ClearCounts() && ok;
    if (m_options.bDiagnose) ok = Diagnose() && ok;
    view.Host().RequestExit(ok ? 0 : 1, true);
}
