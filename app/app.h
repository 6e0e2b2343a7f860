#pragma once
// CServiceToolApp: the application object. It creates the network start-up, the counters store,
// the document (with its record log and the configuration file), the form model and the view,
// and runs the form's start-up. The front end that constructs it supplies the UI port, the host
// and the process interface.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cpelink/icmp_library.h"
#include "model/document.h"
#include "records/counts_info.h"
#include "form/form_model.h"
#include "form/view.h"
#include "app/options.h"
#include "session/line_session.h"

struct AppConfig {
    std::string programFolder;     // the program's own folder
    bool bStartLinkWatch = true;   // false for the export and clear commands of the command line
    bool bCreateRecordStore = true;
    plat::Options options;         // the whole command line (endpoints, time scale, modes)
};

// The configuration of a run of the program with this command line (every front end).
AppConfig AppConfigFor(const plat::Options& options, const std::string& programFolder);

class CServiceToolApp {
public:
    CServiceToolApp(plat::IUiPort& ui, IViewHost& host, plat::IProcess& process, AppConfig config);
    ~CServiceToolApp();
    CServiceToolApp(const CServiceToolApp&) = delete;
    CServiceToolApp& operator=(const CServiceToolApp&) = delete;

    // The document (record log, configuration file), then the form's initial update. The lines
    // and the presenter's observers can be set between construction and this call.
    StartOutcome InitInstance();

    CServiceToolDoc& Doc() { return *m_pDoc; }
    CFormModel& Form() { return *m_pForm; }
    CServiceToolView& View() { return *m_pView; }
    CCountsInfo& Counts() { return m_counts; }
    const AppConfig& Config() const { return m_config; }
    plat::IUiPort& Ui() { return m_ui; }
    plat::IProcess& Process() { return m_process; }
    // Keeps a component that the wiring made (the upgrade controller and the like) for the run.
    // Components go after the view (whose threads are joined by then), before the document, in
    // the reverse order of Own.
    void Own(std::shared_ptr<void> component) { m_components.push_back(std::move(component)); }
    // The lines' sessions the wiring made (none before the wiring).
    void SetLines(CLineSessions* lines) { m_pLines = lines; }
    CLineSessions* Lines() { return m_pLines; }

private:
    plat::IUiPort& m_ui;
    plat::IProcess& m_process;
    AppConfig m_config;
    CIcmpLibrary m_icmp;  // the network start-up; its failure is shown at construction
    CCountsInfo m_counts;
    std::unique_ptr<CServiceToolDoc> m_pDoc;
    std::unique_ptr<CFormModel> m_pForm;
    std::unique_ptr<CServiceToolView> m_pView;
    std::vector<std::shared_ptr<void>> m_components;
    CLineSessions* m_pLines = nullptr;
};
