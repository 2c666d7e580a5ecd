#include "simline/pagecount.h"

#include "sff/reader.h"

namespace simline {

PageCount::PageCount() : m_reader(std::make_unique<sff::StreamReader>(sff::ReadDepth::Records)) {}
PageCount::~PageCount() = default;
PageCount::PageCount(PageCount &&) noexcept = default;
PageCount &PageCount::operator=(PageCount &&) noexcept = default;

void PageCount::feed(QByteArrayView bytes)
{
    m_reader->feed(bytes);
}

int PageCount::pagesStarted() const
{
    return m_reader->pageCount();
}

int PageCount::pagesComplete() const
{
    return m_reader->pagesFinished();
}

bool PageCount::atEnd() const
{
    return m_reader->info().endRecord;
}

bool PageCount::atRecordBoundary() const
{
    return m_reader->atRecordBoundary();
}

bool PageCount::invalid() const
{
    return m_reader->info().error.has_value();
}

} // namespace simline
