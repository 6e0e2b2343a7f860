#include "app/app.h"

#include "form/control_ids.h"
#include "model/version_source.h"
#include "pcside/gateway_path.h"
#include "platform/socket.h"
#include "session/pc_address.h"

AppConfig AppConfigFor(const plat::Options& options, const std::string& programFolder) {
    AppConfig config;
    config.programFolder = programFolder;
    // The export and clear commands send nothing: no link watcher.
    config.bStartLinkWatch = !plat::IsCommandRun(options);
    config.options = options;
    return config;
}

CServiceToolApp::CServiceToolApp(plat::IUiPort& ui, IViewHost& host, plat::IProcess& process,
                                             AppConfig config)
    : m_ui(ui), m_process(process), m_config(std::move(config)) {
    m_pDoc = std::make_unique<CServiceToolDoc>();
    m_pForm = std::make_unique<CFormModel>();
    ViewConfig vc;
    vc.programFolder = m_config.programFolder;
    vc.bStartLinkWatch = m_config.bStartLinkWatch;
    m_pView = std::make_unique<CServiceToolView>(*m_pDoc, *m_pForm, ui, host, process, vc);
}

CServiceToolApp::~CServiceToolApp() {
    // The view's threads use the document and the form: they go first.
    m_pView.reset();
    while (!m_components.empty()) m_components.pop_back();
}

StartOutcome CServiceToolApp::InitInstance() {
    // The machine root and its system directory stand in for drive C: and always exist there; the
    // record log lives in the system directory. A failure shows at the version folder (step 13).
    version_source::EnsureMachineRoot();
    // Addresses a killed run of the program left on the PC's adapters go first, before any command.
    pc_address::RecoverStale(pc_address::RealOps());
    if (m_config.bCreateRecordStore) m_pDoc->CreateRecordStore(m_ui, m_config.programFolder);
    m_pDoc->OnNewDocument(m_config.programFolder, m_ui);
    PressDownloadWhenReady();
    const StartOutcome start = m_pView->OnInitialUpdate();
    if (!start.bRunning) return start;
    ApplyRadios();
    if (plat::IsCommandRun(m_config.options)) m_pView->Host().PostToGui([this] { RunCommands(); });
    return start;
}

void CServiceToolApp::PressDownloadWhenReady() {
    if (!m_config.options.bPressDownload) return;
    CServiceToolView& view = *m_pView;
    // Whatever observer the front end or a test set keeps running first.
    view.observers.onLineReady = [this, before = view.observers.onLineReady](int line) {
        if (before) before(line);
        if (line != 0 || m_bDownloadPressed.exchange(true)) return;
        m_pView->Host().PostToGui([this] {
            if (m_pView->IsTornDown()) return;
            ApplyRadios();
            m_pView->OnCommand(ids::DOWNLOAD_0);
        });
    };
}

void CServiceToolApp::ApplyRadios() {
    const plat::Options& o = m_config.options;
    int mode = -1;
    switch (o.mode) {
        case plat::RunMode::CpeOnly: mode = 0; break;
        case plat::RunMode::ModemAndCpe: mode = 1; break;
        case plat::RunMode::BackupNv: mode = 2; break;
        case plat::RunMode::RestoreNv: mode = 3; break;
        case plat::RunMode::Default: break;
    }
    if (mode >= 0) m_pView->OnModeRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    if (o.nvOption >= 0 && o.nvOption < 4) {
        m_pForm->CheckRadio(ids::NV_OPTION_RADIOS[static_cast<size_t>(o.nvOption)]);
        m_pDoc->m_nNvOption = o.nvOption;
    }
}

// --diagnose: the report as unstamped status lines of line 0 (standard output when headless);
// nothing is sent to the gateway.
bool CServiceToolApp::Diagnose() {
    CServiceToolView& view = *m_pView;
    const gateway_path::Facts facts =
        gateway_path::GatherFacts(m_config.options.endpoints, view.TerminalIp(), view.English());
    bool bReady = false;
    std::vector<std::string> lines = gateway_path::Report(facts, view.English(), bReady);
    uint32_t gateway = 0;
    if (facts.adapterError.empty() && plat::ParseIpv4(facts.gateway, gateway) && !plat::IsLoopbackAddress(facts.gateway)) {
        const std::string set = pc_address::DiagnoseLine(gateway, facts.adapters, m_config.options.adapter,
                                                         plat::MayChangeAddresses());
        // Before the verdict, which stays the last line.
        if (!set.empty()) lines.insert(lines.end() - 1, set);
    }
    for (const std::string& line : lines) view.ShowLineStatus(0, line, false);
    return bReady;
}

void CServiceToolApp::RunCommands() {
    const plat::Options& o = m_config.options;
    CServiceToolView& view = *m_pView;
    if (view.IsTornDown()) return;
    bool ok = true;
    if (!o.exportCsv.empty()) ok = view.OnExportCsv() && ok;
    if (!o.exportSdi.empty()) ok = view.OnExportSdi() && ok;
    if (o.bClearCounts) ok = view.OnClearCounts() && ok;
    if (o.bDiagnose) ok = Diagnose() && ok;
    view.RequestExit(ok ? 0 : 1, true);
}
