// How a change of an image's information view is carried into libwim's properties.
#include "ImagingHandles.h"
#include "ImagingXml.h"

#include <algorithm>

#include <map>

namespace imaging {
namespace {

// ---- writing elements through libwim's property paths -------------------------------------
constexpr const char* kEmptyMarker = "PELLORIC_EMPTY";

const QString& pathNameOf(const XmlElem& e)
{
    return e.pathName.isEmpty() ? e.name : e.pathName;
}

QByteArray childPath(const QByteArray& parent, const QString& name, int rank)
{
    QByteArray path = parent;
    if (!path.isEmpty())
        path += '/';
    return path + name.toUtf8() + '[' + QByteArray::number(rank) + ']';
}

// For each element, how many siblings before it have the same name (the path name when
// byPath is set).
std::vector<int> ranksOf(const std::vector<XmlElem>& elems, bool byPath)
{
    std::map<QString, int> seen;
    std::vector<int> ranks;
    ranks.reserve(elems.size());
    for (const XmlElem& e : elems)
        ranks.push_back(seen[byPath ? pathNameOf(e) : e.name]++);
    return ranks;
}

struct Target {
    WIMStruct* wim;
    int image;
    int* writes; // counts the changes made
};

int setProperty(const Target& t, const QByteArray& path, const char* value)
{
    ++*t.writes;
    return wimlib_set_image_property(t.wim, t.image, path.constData(), value);
}

// Whether libwim's element `have` can become `want` where it stands: libwim sets a text
// (dropping children) or adds children, but cannot empty an element.
bool changeableInPlace(const XmlElem& have, const XmlElem& want)
{
    const bool haveEmpty = have.children.empty() && withoutLeadingSpace(have.text).isEmpty();
    if (want.children.empty())
        return !want.text.isEmpty() || haveEmpty;
    return !have.children.empty() || haveEmpty;
}

// `want` as libwim makes it: no attributes, named as written, empty elements as <NAME/>.
XmlElem madeByLibrary(const XmlElem& want)
{
    XmlElem e;
    e.name = want.name;
    if (want.children.empty()) {
        e.text = want.text;
        e.emptyForm = e.text.isEmpty();
    }
    for (const XmlElem& c : want.children)
        e.children.push_back(madeByLibrary(c));
    return e;
}

int writeElement(const Target& t, const QByteArray& path, const XmlElem& e)
{
    if (e.children.empty() && !e.text.isEmpty())
        return setProperty(t, path, e.text.toUtf8().constData());
    if (e.children.empty()) {
        // libwim removes an element set to an empty text; an empty element is made through a
        // child that is removed again.
        const QByteArray marker = path + "/" + kEmptyMarker;
        int ret = setProperty(t, marker, "1");
        return ret ? ret : setProperty(t, marker, nullptr);
    }
    std::map<QString, int> seen;
    for (const XmlElem& c : e.children)
        if (int ret = writeElement(t, childPath(path, c.name, ++seen[c.name]), c))
            return ret;
    return 0;
}

int syncChildren(const Target& t, const QByteArray& path, std::vector<XmlElem>& live,
                 const std::vector<XmlElem>& want);

int updateInPlace(const Target& t, const QByteArray& path, XmlElem& have, const XmlElem& want)
{
    if (!want.children.empty()) {
        have.text.clear();
        have.emptyForm = false;
        return syncChildren(t, path, have.children, want.children);
    }
    if (have.children.empty() && unchangedText(have.text, want.text))
        return 0;
    if (int ret = setProperty(t, path, want.text.toUtf8().constData()))
        return ret;
    have.children.clear();
    have.text = want.text;
    have.emptyForm = false;
    return 0;
}

// Appends `want` as libwim makes it; `counts` holds how many of live's elements each path
// name has.
int appendElement(const Target& t, const QByteArray& path, std::vector<XmlElem>& live,
                  std::map<QString, int>& counts, const XmlElem& want)
{
    XmlElem made = madeByLibrary(want);
    const QByteArray at = childPath(path, made.name, counts[made.name] + 1);
    if (int ret = writeElement(t, at, made)) {
        setProperty(t, at, nullptr); // what was made of it
        return ret;
    }
    ++counts[made.name];
    live.push_back(std::move(made));
    return 0;
}

int syncChildren(const Target& t, const QByteArray& path, std::vector<XmlElem>& live,
                 const std::vector<XmlElem>& want)
{
    // The live element each wanted one stands for: same name, same rank among that name.
    std::vector<std::ptrdiff_t> match(want.size(), -1);
    {
        std::map<QString, std::vector<std::size_t>> byName;
        for (std::size_t j = 0; j < live.size(); ++j)
            byName[live[j].name].push_back(j);
        const std::vector<int> wantRanks = ranksOf(want, false);
        for (std::size_t i = 0; i < want.size(); ++i) {
            const auto same = byName.find(want[i].name);
            if (same != byName.end() && std::size_t(wantRanks[i]) < same->second.size())
                match[i] = static_cast<std::ptrdiff_t>(same->second[wantRanks[i]]);
        }
    }
    // Elements only ever go to the end, so what stays in place is the leading run of wanted
    // elements that libwim holds in that order.
    std::size_t kept = 0;
    std::ptrdiff_t last = -1;
    while (kept < want.size() && match[kept] > last &&
           changeableInPlace(live[match[kept]], want[kept]))
        last = match[kept++];
    std::vector<bool> keep(live.size(), false);
    for (std::size_t i = 0; i < kept; ++i)
        keep[match[i]] = true;
    // Removed last first, so the paths of those before stay valid.
    std::vector<int> ranks = ranksOf(live, true);
    std::size_t unhandled = live.size();
    int ret = 0;
    while (unhandled > 0) {
        const std::size_t j = unhandled - 1;
        if (!keep[j] && (ret = setProperty(t, childPath(path, pathNameOf(live[j]), ranks[j] + 1),
                                           nullptr)) != 0)
            break;
        unhandled = j;
    }
    std::size_t n = 0;
    for (std::size_t j = 0; j < live.size(); ++j) {
        if (j >= unhandled && !keep[j])
            continue; // removed from libwim
        if (n != j)
            live[n] = std::move(live[j]);
        ++n;
    }
    live.resize(n);
    if (ret)
        return ret;
    ranks = ranksOf(live, true);
    for (std::size_t i = 0; i < kept; ++i) {
        const QByteArray at = childPath(path, pathNameOf(live[i]), ranks[i] + 1);
        if (int ret = updateInPlace(t, at, live[i], want[i]))
            return ret;
    }
    std::map<QString, int> counts;
    for (const XmlElem& e : live)
        ++counts[pathNameOf(e)];
    for (std::size_t i = kept; i < want.size(); ++i)
        if (int ret = appendElement(t, path, live, counts, want[i]))
            return ret;
    return 0;
}

} // namespace

XmlElem imageFromProperties(WIMStruct* wim, int image)
{
    XmlElem e;
    e.name = QStringLiteral("IMAGE");
    for (const char* p : {"NAME", "DESCRIPTION", "FLAGS", "DISPLAYNAME", "DISPLAYDESCRIPTION",
                          "DIRCOUNT", "FILECOUNT", "TOTALBYTES", "HARDLINKBYTES"}) {
        if (const char* v = wimlib_get_image_property(wim, image, p)) {
            XmlElem c;
            c.name = QString::fromLatin1(p);
            c.text = QString::fromUtf8(v);
            e.children.push_back(std::move(c));
        }
    }
    // The times libwim keeps, after its counts as libwim places them.
    for (const char* p : {"CREATIONTIME", "LASTMODIFICATIONTIME"}) {
        XmlElem time;
        time.name = QString::fromLatin1(p);
        for (const char* part : {"HIGHPART", "LOWPART"}) {
            const QByteArray path = QByteArray(p) + '/' + part;
            if (const char* v = wimlib_get_image_property(wim, image, path.constData())) {
                XmlElem c;
                c.name = QString::fromLatin1(part);
                c.text = QString::fromUtf8(v);
                time.children.push_back(std::move(c));
            }
        }
        if (!time.children.empty())
            e.children.push_back(std::move(time));
    }
    return e;
}

bool isMaintainedElement(const QString& name)
{
    static const QString kNames[] = {
        QStringLiteral("DIRCOUNT"),     QStringLiteral("FILECOUNT"),
        QStringLiteral("TOTALBYTES"),   QStringLiteral("HARDLINKBYTES"),
        QStringLiteral("CREATIONTIME"), QStringLiteral("LASTMODIFICATIONTIME"),
        QStringLiteral("WIMBOOT"),
    };
    for (const QString& n : kNames)
        if (n == name)
            return true;
    return false;
}

std::vector<XmlElem> withMaintainedElements(const std::vector<XmlElem>& current,
                                            std::vector<XmlElem> given)
{
    // An element of given stands for current's element of the same name and rank.
    std::map<std::pair<QString, int>, std::size_t> currentAt;
    const std::vector<int> currentRanks = ranksOf(current, false);
    for (std::size_t j = 0; j < current.size(); ++j)
        currentAt.emplace(std::make_pair(current[j].name, currentRanks[j]), j);
    const std::vector<int> givenRanks = ranksOf(given, false);
    std::vector<std::ptrdiff_t> counterpart(given.size(), -1);
    std::vector<bool> inGiven(current.size(), false); // current's element is in given
    for (std::size_t i = 0; i < given.size(); ++i) {
        const auto it = currentAt.find({given[i].name, givenRanks[i]});
        if (it != currentAt.end()) {
            counterpart[i] = static_cast<std::ptrdiff_t>(it->second);
            inGiven[it->second] = true;
        }
    }
    // current's maintained elements that given leaves out, behind the nearest element before
    // them in current that given holds (-1: at the front).
    std::map<std::ptrdiff_t, std::vector<std::size_t>> behind;
    std::ptrdiff_t anchor = -1;
    for (std::size_t j = 0; j < current.size(); ++j) {
        if (inGiven[j])
            anchor = static_cast<std::ptrdiff_t>(j);
        else if (isMaintainedElement(current[j].name))
            behind[anchor].push_back(j);
    }
    std::vector<XmlElem> out;
    const auto addBehind = [&](std::ptrdiff_t j) {
        const auto it = behind.find(j);
        if (it != behind.end())
            for (std::size_t k : it->second)
                out.push_back(current[k]);
    };
    addBehind(-1);
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (!isMaintainedElement(given[i].name))
            out.push_back(std::move(given[i]));
        else if (counterpart[i] >= 0)
            out.push_back(current[counterpart[i]]); // libwim's value
        if (counterpart[i] >= 0)
            addBehind(counterpart[i]);
    }
    return out;
}

int syncImageElements(WIMStruct* wim, int image, std::vector<XmlElem>& live,
                      const std::vector<XmlElem>& want, bool* changed)
{
    int writes = 0;
    const Target t{wim, image, &writes};
    const std::vector<XmlElem> before = live;
    const int ret = syncChildren(t, {}, live, want);
    if (ret)
        syncChildren(t, {}, live, before);
    if (changed)
        *changed = writes != 0;
    return ret;
}

int exportImageKeepingInformation(WIMStruct* src, int srcImage, WIMStruct* dest, int flags)
{
    const char* name = wimlib_get_image_property(src, srcImage, "NAME");
    if ((flags & WIMLIB_EXPORT_FLAG_NO_NAMES) || !name || !*name)
        return wimlib_export_image(src, srcImage, dest, nullptr, nullptr,
                                   flags | WIMLIB_EXPORT_FLAG_NO_NAMES);
    const QByteArray kept(name);
    // Exported under a name no image of dest has, which libwim writes into NAME where it
    // stands; the real name then replaces it there, past libwim's duplicate check.
    QByteArray placeholder("pelloric-export");
    for (int n = 0; wimlib_image_name_in_use(dest, placeholder.constData()); ++n)
        placeholder = "pelloric-export-" + QByteArray::number(n);
    int ret = wimlib_export_image(src, srcImage, dest, placeholder.constData(), nullptr, flags);
    if (!ret)
        ret = wimlib_set_image_property(dest, imageCountOf(dest), "NAME[1]", kept.constData());
    return ret;
}

} // namespace imaging
