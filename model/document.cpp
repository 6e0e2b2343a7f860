#include "model/document.h"

#include "model/line_device.h"

#include <vector>

#include "platform/fs.h"
#include "platform/trace.h"
#include "records/record_store.h"

CServiceToolDoc::CServiceToolDoc() {
    for (auto& device : m_devices) device = std::make_unique<LineDevice>();
    for (int i = 0; i < LINE_COUNT; ++i) {
        m_records[i].Zero();
        m_records[i].SetInt(LineField::BaudRate, 115200);
    }
}

CServiceToolDoc::~CServiceToolDoc() = default;

void CServiceToolDoc::CreateRecordStore(plat::IUiPort& ui, const std::string& programFolder) {
    if (!m_pRecordStore) m_pRecordStore = std::make_unique<CRecordStore>(ui, programFolder);
}

std::string CServiceToolDoc::ConfigFilePath(const std::string& programFolder) const {
    return plat::JoinPath(programFolder, std::string(CONFIG_BASE_NAME) + ".cfg");
}

void CServiceToolDoc::OnNewDocument(const std::string& programFolder, plat::IUiPort& ui) {
    m_bLanguage = 0;
    m_strProgramFolder = programFolder;
    const std::string cfg = ConfigFilePath(programFolder);
    if (plat::IsRegularFile(cfg)) {
        const long long size = plat::FileSize(cfg);
        std::vector<unsigned char> bytes;
        bool ok = size == static_cast<long long>(CONFIG_FILE_SIZE);
        ok = ok && plat::ReadFileBytes(cfg, bytes, CONFIG_FILE_SIZE) && bytes.size() == CONFIG_FILE_SIZE;
        if (ok) {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int i = 0; i < LINE_COUNT; ++i)
                m_records[i].Load(std::span<const unsigned char, LINE_RECORD_SIZE>(
                    bytes.data() + i * LINE_RECORD_SIZE, LINE_RECORD_SIZE));
        } else {
            ui.MessageBox(plat::Format(TEXT_CONFIG_WRONG_SIZE, cfg.c_str()), PRODUCT_TITLE);
        }
    }
    const std::string loader = plat::JoinPath(programFolder, "armprg.bin");
    for (int i = 0; i < LINE_COUNT; ++i) {
        // Reported once: the same path is refused for every line.
        SetLineText(i, LineField::LoaderImage, loader, i == 0 ? &ui : nullptr);
    }
}

bool CServiceToolDoc::SetLineText(int line, TextField field, const std::string& text,
                                        plat::IUiPort* ui) {
    bool ok;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ok = m_records[line].SetText(field, text);
    }
    if (!ok && ui) ui->MessageBox(plat::Format(TEXT_PATH_TOO_LONG, text.c_str()), PRODUCT_TITLE);
    return ok;
}

std::string CServiceToolDoc::GetLineText(int line, TextField field) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records[line].GetText(field);
}

std::string CServiceToolDoc::GetLinePath(int line, TextField field) const {
    return plat::MapWindowsPath(GetLineText(line, field));
}

int CServiceToolDoc::GetLineInt(int line, size_t offset) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records[line].GetInt(offset);
}

void CServiceToolDoc::SetLineInt(int line, size_t offset, int32_t value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records[line].SetInt(offset, value);
}

LineRecord CServiceToolDoc::GetRecord(int line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records[line];
}
