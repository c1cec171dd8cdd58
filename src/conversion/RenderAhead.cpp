#include "conversion/RenderAhead.h"

#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/ProcessLaunch.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>

namespace quarnel {

RenderAhead::RenderAhead(AheadLink& link, int limit)
    : m_link(link)
    , m_limit(limit)
{ }

RenderAhead::~RenderAhead() = default;

bool RenderAhead::makeFolder()
{
    if (m_folder)
        return true;
    m_folder = std::make_unique<QTemporaryDir>(TempFolder() + u'/' + QLatin1String(kAheadFolderPrefix)
                                               + QStringLiteral("XXXXXX"));
    if (!m_folder->isValid()) {
        m_folder.reset();
        return false;
    }
    SetRenderAheadFolder(m_folder->path());
    return true;
}

void RenderAhead::ask(const std::string& path, const render::PageRequest& settings, int pages)
{
    // A bound on what waits for room, whatever the pass asks.
    constexpr std::size_t kMostWaiting = 32;
    if (m_limit <= 0 || pages == 0 || m_queue.size() >= kMostWaiting || m_askedNow.count(path))
        return;
    const Document document {path, settings, pages};
    // Asked for already: waiting for room, opening, or pages on their way or rendered.
    if (std::any_of(m_queue.begin(), m_queue.end(), [&](const Document& other) { return other.sameAs(document); }))
        return;
    const PageKey first {path, settings};
    if (std::any_of(m_pages.begin(), m_pages.end(), [&](const auto& page) { return page.second.key == first; }))
        return;
    if (!makeFolder())
        return;
    m_queue.push_back(document);
    topUp();
}

bool RenderAhead::opening(const std::string& path) const
{
    return std::any_of(m_opens.begin(), m_opens.end(), [&](const auto& open) { return open.second.path == path; });
}

std::optional<int> RenderAhead::knownCount(const std::string& path) const
{
    const auto known = m_knownCounts.find({path, render::FileVersionTextOf(path)});
    return known == m_knownCounts.end() ? std::nullopt : std::optional<int>(known->second);
}

void RenderAhead::topUp()
{
    // In the order the pass will need them, as long as there is room: so that the pages of the next PDF
    // are asked for as soon as those of this one are taken, not when its turn comes.
    while (!m_queue.empty() && static_cast<int>(m_pages.size()) < m_limit && m_folder) {
        Document& document = m_queue.front();
        if (m_askedNow.count(document.path)) {
            m_queue.pop_front();
            continue;
        }
        const std::optional<int> known = knownCount(document.path);
        if (!known) {
            // Counted first; the answer tops up again.
            const bool counting = std::any_of(m_opens.begin(), m_opens.end(),
                                              [&](const auto& open) { return open.second.sameAs(document); });
            if (!counting && m_link.ensureStarted()) {
                const int id = m_link.newId();
                m_opens[id] = document;
                m_link.send({render::RequestKind::Open, id, document.path, {}});
            }
            return;
        }
        if (!askPages(document, *known))
            return;
        m_queue.pop_front();
    }
}

bool RenderAhead::askPages(Document& document, int pages)
{
    if (!m_link.ensureStarted())
        return false;
    const int wanted = document.pages < 0 ? pages : std::min(pages, document.pages);
    for (; document.nextPage < wanted && static_cast<int>(m_pages.size()) < m_limit; ++document.nextPage) {
        const int id = m_link.newId();
        Page page;
        page.key = {document.path, document.settings};
        page.key.page.page = document.nextPage;
        page.file = m_folder->filePath(QStringLiteral("ahead-%1.jpg").arg(id));
        render::PageRequest request = page.key.page;
        request.target = NativeName(page.file).toStdString();
        m_link.send({render::RequestKind::Ahead, id, document.path, request});
        m_pages[id] = page;
    }
    return document.nextPage >= wanted;
}

void RenderAhead::opened(int id, const render::Reply& reply)
{
    const Document document = m_opens[id];
    m_opens.erase(id);
    const auto waiting
        = std::find_if(m_queue.begin(), m_queue.end(), [&](const Document& other) { return other.sameAs(document); });
    // A PDF that cannot be opened is left to its turn, which reports it.
    if (reply.kind != render::ReplyKind::Opened) {
        if (waiting != m_queue.end())
            m_queue.erase(waiting);
    } else {
        m_knownCounts[{document.path, reply.version}] = reply.pages;
        // Its pages by the count just read, even if the file has changed since: a page of another version
        // is never handed over.
        if (waiting != m_queue.end() && waiting == m_queue.begin() && !m_askedNow.count(document.path)
            && askPages(*waiting, reply.pages))
            m_queue.pop_front();
    }
    topUp();
}

RenderAhead::Claim RenderAhead::claim(const PageKey& key, int job, const QString& target)
{
    const auto page = std::find_if(m_pages.begin(), m_pages.end(), [&](const auto& entry) {
        return entry.second.key == key && entry.second.adoptedBy == 0;
    });
    if (page == m_pages.end())
        return Claim::None;
    // Handed over when it comes from this very version of the file; otherwise rendered anew.
    const std::string version = render::FileVersionTextOf(key.path);
    if (!page->second.rendered) {
        m_link.send({render::RequestKind::Hurry, page->first, {}, {}});
        page->second.adoptedBy = job;
        page->second.wantedVersion = version;
        page->second.target = target;
        return Claim::Waiting;
    }
    const bool current = !version.empty() && page->second.version == version;
    const bool handed = current && handOver(page->second.file, target);
    drop(page);
    topUp();
    return handed ? Claim::HandedOver : Claim::None;
}

std::optional<RenderAhead::Adopted> RenderAhead::answer(const render::Reply& reply)
{
    if (m_opens.count(reply.id)) {
        opened(reply.id, reply);
        return std::nullopt;
    }
    const auto page = m_pages.find(reply.id);
    Page& ahead = page->second;
    const bool done = reply.kind == render::ReplyKind::Done;
    if (done) {
        ahead.rendered = true;
        ahead.version = reply.version;
    }
    const int waiting = ahead.adoptedBy;
    if (!waiting) {
        if (!done) {
            drop(page);
            topUp();
        }
        return std::nullopt;
    }
    // A job waits for this page: handed over when it is the version it wants, otherwise (or when it
    // failed) rendered for it now, so that what it gets is exactly what it would have got.
    const bool handed = done && ahead.version == ahead.wantedVersion && handOver(ahead.file, ahead.target);
    drop(page);
    return Adopted {waiting, handed};
}

bool RenderAhead::handOver(const QString& file, const QString& target)
{
    // Never over a file that is there already; the page is then rendered again under its name.
    return ::renameat2(AT_FDCWD, NativeName(file).constData(), AT_FDCWD, NativeName(target).constData(),
                       RENAME_NOREPLACE)
        == 0;
}

void RenderAhead::drop(std::map<int, Page>::iterator page)
{
    if (page->second.rendered)
        QFile::remove(page->second.file);
    m_pages.erase(page);
}

bool RenderAhead::workerLost()
{
    bool lost = false;
    for (auto page = m_pages.begin(); page != m_pages.end();) {
        lost = lost || !page->second.rendered;
        page = page->second.rendered ? std::next(page) : m_pages.erase(page);
    }
    m_opens.clear();
    m_queue.clear();
    return lost;
}

void RenderAhead::forget()
{
    for (auto page = m_pages.begin(); page != m_pages.end();) {
        const auto next = std::next(page);
        if (!page->second.adoptedBy)
            drop(page);
        page = next;
    }
    m_opens.clear();
    m_queue.clear();
    m_knownCounts.clear();
    m_askedNow.clear();
    // Pages still on their way are written into a folder that is gone, and fail unseen.
    if (m_pages.empty()) {
        SetRenderAheadFolder(QString());
        m_folder.reset();
    }
}

} // namespace quarnel
