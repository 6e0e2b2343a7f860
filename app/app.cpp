#include "app/app.h"

#include "console/version_source.h"

CServiceToolApp::CServiceToolApp(plat::IUiPort& ui, IViewHost& host, plat::IProcess& process,
                                             AppConfig config)
    : m_ui(ui), m_process(process), m_config(std::move(config)) {
    m_pDoc = std::make_unique<CServiceToolDoc>();
    m_pForm = std::make_unique<CFormModel>();
    ViewConfig vc;
    vc.programFolder = m_config.programFolder;
    vc.gatewayOverride = m_config.gatewayOverride;
    vc.bStartLinkWatch = m_config.bStartLinkWatch;
    m_pView = std::make_unique<CServiceToolView>(*m_pDoc, *m_pForm, ui, host, process, vc);
    m_pFrame = std::make_unique<CMainFrame>(*m_pView);
}

CServiceToolApp::~CServiceToolApp() {
    // The view's threads use the document and the form: they go first.
    m_pFrame.reset();
    m_pView.reset();
    while (!m_components.empty()) m_components.pop_back();
}

StartOutcome CServiceToolApp::InitInstance() {
    // The machine root and its system directory stand in for drive C: and always exist there; the
    // record log lives in the system directory. A failure shows at the version folder (step 13).
    version_source::EnsureMachineRoot();
    if (m_config.bCreateRecordStore) m_pDoc->CreateRecordStore(m_ui, m_config.programFolder);
    m_pDoc->OnNewDocument(m_config.programFolder, m_ui);
    m_bLanguage = m_pDoc->m_bLanguage;
    return m_pView->OnInitialUpdate();
}
