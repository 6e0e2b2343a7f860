#include "app/app.h"

#include "model/version_source.h"
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
    if (!m_icmp.IsReady() && !m_icmp.ErrorText().empty()) m_ui.MessageBox(m_icmp.ErrorText(), "Error:");
    m_pDoc = std::make_unique<CServiceToolDoc>();
    m_pForm = std::make_unique<CFormModel>();
    ViewConfig vc;
    vc.programFolder = m_config.programFolder;
    vc.bStartLinkWatch = m_config.bStartLinkWatch;
    m_pView = std::make_unique<CServiceToolView>(*m_pDoc, *m_pForm, ui, host, process, m_counts, vc);
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
    return m_pView->OnInitialUpdate();
}
