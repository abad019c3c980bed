// The layer's view of an open WIM: reading it from the file, its text as handed out and as
// the information write stores it, and reloads that drop libwim's memory.
#include "ImagingHandles.h"

#include <algorithm>
#include <cstdlib>

namespace imaging {
namespace {

int indexAttributeOf(const XmlElem& e, int fallback)
{
    for (const auto& [name, value] : e.attrs)
        if (name == QLatin1String("INDEX"))
            return value.toInt();
    return fallback;
}

// Parses the file's text into the view: the root's attributes, its other elements, and the
// IMAGE elements in INDEX order (at most `count` of them).
void readFileXml(XmlView& v, int count)
{
    XmlElem root;
    if (!parseXml(v.fileXml, root))
        return;
    v.rootAttrs = std::move(root.attrs);
    std::vector<std::pair<int, XmlElem>> found;
    bool positioned = true;
    for (XmlElem& e : root.children) {
        positioned = positioned && e.start >= 0;
        if (e.name != QLatin1String("IMAGE")) {
            v.topElements.push_back(std::move(e));
            if (found.empty())
                v.topBeforeImages = v.topElements.size();
            continue;
        }
        const int index = indexAttributeOf(e, static_cast<int>(found.size()) + 1);
        found.emplace_back(index, std::move(e));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found)
        if (static_cast<int>(v.images.size()) < count)
            v.images.push_back(std::move(f.second));
    v.positioned = positioned && static_cast<int>(found.size()) == count;
    if (v.positioned)
        v.storedImages = v.images;
}

// The whole document from the view, the file's own order kept: elements before the images,
// the images, the rest. With totalBytes, the WIM's TOTALBYTES holds that value.
QString serializeView(const XmlView& v, const QString* totalBytes)
{
    XmlElem root;
    root.name = QStringLiteral("WIM");
    root.attrs = v.rootAttrs;
    QString text;
    writeStartTag(root, text, nullptr);
    text += u'>';
    const auto top = [&](XmlElem e) {
        if (totalBytes && e.name == QLatin1String("TOTALBYTES")) {
            e.text = *totalBytes;
            e.children.clear();
        }
        serializeXml(e, text);
    };
    const std::size_t before = std::min(v.topBeforeImages, v.topElements.size());
    for (std::size_t i = 0; i < before; ++i)
        top(v.topElements[i]);
    for (std::size_t i = 0; i < v.images.size(); ++i) {
        const QString index = QString::number(i + 1);
        serializeXml(v.images[i], text, &index);
    }
    for (std::size_t i = before; i < v.topElements.size(); ++i)
        top(v.topElements[i]);
    text += u"</WIM>";
    return text;
}

bool anyInformationPending(const WimHandle& w)
{
    const auto& info = w.pending.information;
    return std::find(info.begin(), info.end(), true) != info.end();
}

} // namespace

void rebuildView(WimHandle& w)
{
    const int count = imageCountOf(w.wim.get());
    w.view = XmlView{};
    void* buf = nullptr;
    std::size_t size = 0;
    if (!w.isNew && wimlib_get_xml_data(w.wim.get(), &buf, &size) == 0) {
        w.view.fileXml = fromUtf16Le(buf, size);
        std::free(buf);
        readFileXml(w.view, count);
    }
    // libwim opened the file, so its own reading is the authority on the image count.
    for (int i = static_cast<int>(w.view.images.size()) + 1; i <= count; ++i)
        w.view.images.push_back(imageFromProperties(w.wim.get(), i));
    for (XmlElem& e : w.view.images)
        e.name = QStringLiteral("IMAGE");
    w.pending.information.assign(w.view.images.size(), false);
}

QString wimInformationText(const WimHandle& w)
{
    if (!w.isNew && !anyInformationPending(w) && !w.view.fileXml.isEmpty())
        return w.view.fileXml;
    return serializeView(w.view, nullptr);
}

QString informationToWrite(const WimHandle& w, std::uint64_t xmlOffset)
{
    const XmlView& v = w.view;
    const QString totalBytes = QString::number(xmlOffset);
    if (!v.positioned)
        return serializeView(v, &totalBytes);
    // The stored text, with only the changed images and TOTALBYTES written anew.
    struct Splice {
        qsizetype start;
        qsizetype end;
        QString text;
    };
    std::vector<Splice> splices;
    for (std::size_t i = 0; i < v.images.size(); ++i) {
        if (!w.pending.information[i])
            continue;
        QString text;
        writeChangedElement(v.fileXml, v.storedImages[i], v.images[i], text);
        splices.push_back({v.images[i].start, v.images[i].end, std::move(text)});
    }
    for (const XmlElem& e : v.topElements) {
        if (e.name != QLatin1String("TOTALBYTES"))
            continue;
        XmlElem changed = e;
        changed.text = totalBytes;
        changed.children.clear();
        QString text;
        serializeXml(changed, text);
        splices.push_back({e.start, e.end, std::move(text)});
    }
    std::sort(splices.begin(), splices.end(),
              [](const Splice& a, const Splice& b) { return a.start < b.start; });
    QString out;
    qsizetype at = 0;
    for (const Splice& s : splices) {
        out += QStringView(v.fileXml).mid(at, s.start - at);
        out += s.text;
        at = s.end;
    }
    out += QStringView(v.fileXml).mid(at);
    return out;
}

void handOverToExportTargets(WimHandle& w)
{
    if (w.exportTargets.empty() || !w.wim)
        return;
    std::shared_ptr<WIMStruct> shared(w.wim.release(), WimFree());
    for (WimHandle* target : w.exportTargets) {
        target->keepAlive.push_back(shared);
        auto& sources = target->exportSources;
        sources.erase(std::remove(sources.begin(), sources.end(), &w), sources.end());
    }
    w.exportTargets.clear();
}

void dropExportSources(WimHandle& w)
{
    for (WimHandle* source : w.exportSources) {
        auto& targets = source->exportTargets;
        targets.erase(std::remove(targets.begin(), targets.end(), &w), targets.end());
    }
    w.exportSources.clear();
    w.pending.writes.clear();
}

namespace {

// What a reload keeps of the pending changes: the information view of the changed images and
// the boot index.
struct KeptChanges {
    std::vector<XmlElem> images;
    std::vector<bool> information;
    bool bootIndex = false;
    DWORD bootIndexValue = 0;
};

DWORD keepChanges(const WimHandle& w, KeptChanges& kept)
{
    kept.images = w.view.images;
    kept.information = w.pending.information;
    kept.bootIndex = w.pending.bootIndex;
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(w.wim.get(), &info))
        return ErrorFromWimlib(ret, errno);
    kept.bootIndexValue = info.boot_index;
    return ERROR_SUCCESS;
}

// Puts back, into a freshly read WIMStruct, the information changes and the boot index kept
// before. ERROR_SUCCESS, or the cause of the first change that could not be put back (the
// others are still tried).
DWORD putBack(WimHandle& w, const KeptChanges& kept)
{
    DWORD error = ERROR_SUCCESS;
    const std::size_t n = std::min(kept.images.size(), w.view.images.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!kept.information[i])
            continue;
        bool changed = false;
        const int ret = syncImageElements(w.wim.get(), static_cast<int>(i + 1),
                                          w.view.images[i].children, kept.images[i].children,
                                          &changed);
        if (ret && !error)
            error = ErrorFromWimlib(ret, errno);
        w.pending.information[i] = ret == 0 && changed;
        if (w.pending.information[i])
            w.pending.raise(PendingState::Information);
    }
    if (kept.bootIndex && kept.bootIndexValue <= w.view.images.size()) {
        wimlib_wim_info info{};
        info.boot_index = kept.bootIndexValue;
        if (const int ret = wimlib_set_wim_info(w.wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX)) {
            if (!error)
                error = ErrorFromWimlib(ret, errno);
        } else {
            w.pending.bootIndex = true;
            w.pending.raise(PendingState::Information);
        }
    }
    return error;
}

} // namespace

DWORD reloadWim(WimHandle& w, bool keepPending)
{
    KeptChanges kept;
    if (keepPending)
        if (const DWORD error = keepChanges(w, kept))
            return error;
    const FileIdentity previous = w.identity;
    WimPtr fresh;
    if (!w.isNew) {
        if (const DWORD error = openWimFile(w, fresh))
            return error;
    } else {
        WIMStruct* raw = nullptr;
        const int ret =
            wimlib_create_new_wim(static_cast<wimlib_compression_type>(w.compression), &raw);
        if (ret)
            return ErrorFromWimlib(ret, errno);
        fresh.reset(raw);
    }
    // Exports still to be written elsewhere read from the WIMStruct being replaced.
    handOverToExportTargets(w);
    w.wim = std::move(fresh);
    // Nothing in the fresh WIMStruct refers to another WIM any more.
    dropExportSources(w);
    w.keepAlive.clear();
    w.pending = PendingChanges{};
    // Pending changes were made against the file as first read; when it is not that file
    // any more, they must not be written over what another writer put there.
    if (keepPending && previous.valid && !sameContent(previous, w.identity))
        w.identity.valid = false;
    rebuildView(w);
    return keepPending ? putBack(w, kept) : ERROR_SUCCESS;
}

void reloadAfterFailure(WimHandle& w)
{
    if (const DWORD error = reloadWim(w, true))
        w.pending.lose(error);
}

} // namespace imaging
