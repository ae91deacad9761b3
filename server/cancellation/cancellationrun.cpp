#include "cancellation/cancellationrun.h"

#include "authority/authoritydesk.h"
#include "authority/authoritypause.h"
#include "authority/eventtransmission.h"
#include "metrics/metrics.h"
#include "rpc/servicestop.h"

#include "cancellationbatch.h"
#include "database.h"
#include "states.h"

#include <QDateTime>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace zavserver {

const char* const CancellationRun::kStoppingText = "O servidor estava sendo encerrado: a nota não foi "
                                                   "enviada à SEFAZ. Confirme de novo para concluir.";

struct CancellationRun::Lot {
    QString batchId;
    std::vector<InvoiceCanceller::Attempt> attempts;
    std::vector<size_t> indices; // of each attempt's invoice in the call
    AuthorityDesk::Slot slot;    // its place at the authority, with its client
    LotResult result;
    std::thread thread;
    // Why one of its events could not be signed: then none of it is sent.
    QString signatureFailure;
};

// The batches in flight of this call, each on a thread of its own with the
// client its place at the authority's desk came with.
class CancellationRun::Lots {
public:
    Lots(const AuthorityEndpoints& endpoints, int environment)
        : m_endpoints(endpoints), m_environment(environment) {}
    ~Lots() {
        for (const std::unique_ptr<Lot>& lot : m_running)
            if (lot->thread.joinable())
                lot->thread.join();
    }
    Lots(const Lots&) = delete;
    Lots& operator=(const Lots&) = delete;

    int inFlight() const { return int(m_running.size()); }

    void start(std::unique_ptr<Lot> lot) {
        Lot* running = lot.get();
        m_running.push_back(std::move(lot));
        running->thread = std::thread([this, running] { send(*running); });
    }

    // The next batch to finish, its thread ended.
    std::unique_ptr<Lot> next() {
        Lot* finished = nullptr;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return !m_finished.empty(); });
            finished = m_finished.front();
            m_finished.pop_front();
        }
        finished->thread.join();
        std::unique_ptr<Lot> lot;
        for (auto it = m_running.begin(); it != m_running.end(); ++it)
            if (it->get() == finished) {
                lot = std::move(*it);
                m_running.erase(it);
                break;
            }
        return lot;
    }

private:
    // On the batch's thread: nothing may leave it but its result.
    void send(Lot& lot) {
        std::vector<LotEvent> events;
        events.reserve(lot.attempts.size());
        for (const InvoiceCanceller::Attempt& a : lot.attempts)
            events.push_back(LotEvent{a.accessKey, a.signedBatch, a.resume, a.queriesLeft});
        EventTransmission transmission(lot.slot.client(), m_endpoints, m_environment);
        const auto sent = std::chrono::steady_clock::now();
        lot.result = transmission.sendLot(lot.batchId, events);
        Metrics::lot(AuthorityPause::nameOf(m_endpoints.eventUrl), lot.result,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
        // The place is given back as soon as the authority is done with it,
        // for this call's next batch or another call's.
        lot.slot.done(!lot.result.unreachable, lot.result.failure);
        std::lock_guard lock(m_mutex);
        m_finished.push_back(&lot);
        m_changed.notify_one();
    }

    const AuthorityEndpoints& m_endpoints;
    const int m_environment;
    std::vector<std::unique_ptr<Lot>> m_running;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Lot*> m_finished;
};

CancellationRun::CancellationRun(CancellationContext context, const NfeSettings& settings, Database database,
                                 Progress progress)
    : m_context(std::move(context)), m_settings(settings), m_database(std::move(database)),
      m_progress(std::move(progress)), m_authority(m_context, m_settings) {}

CancellationRun::~CancellationRun() = default;

InvoiceCanceller* CancellationRun::canceller() {
    if (!m_unreachableDatabase.isEmpty())
        return nullptr;
    if (!m_canceller) {
        try {
            m_canceller.emplace(m_database.get(), m_context, m_settings, &m_authority);
        } catch (const zavdb::DatabaseError& error) {
            m_canceller.reset();
            m_database.discard();
            m_unreachableDatabase = m_database.failure(error);
            return nullptr;
        }
    }
    return &*m_canceller;
}

// The invoice is left as it was; the next one gets a fresh connection, since
// a broken one would fail every statement.
void CancellationRun::lost(const zavdb::DatabaseError& error, CancellationOutcome& outcome) {
    outcome = CancellationOutcome::byText(m_database.failure(error));
    m_canceller.reset();
    m_database.discard();
}

void CancellationRun::settle(size_t index, const CancellationOutcome& outcome) {
    m_outcomes[index] = outcome;
    Metrics::cancellation(outcome.situation());
    ++m_done;
    if (m_progress)
        m_progress(m_done, int(m_outcomes.size()));
}

QString CancellationRun::stopped() {
    if (!m_stop.isEmpty() || m_authority.resolve())
        return m_stop;
    try {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        AuthorityPause pauses(m_database.get());
        if (const auto pause =
                pauses.current(AuthorityPause::nameOf(m_authority.endpoints().eventUrl), now)) {
            const zavfiscal::State* state = zavfiscal::stateByAbbreviation(m_context.state);
            m_stop = fitFailure(AuthorityPause::notSent(*pause, state ? state->utcOffsetSeconds : 0));
        }
    } catch (const zavdb::DatabaseError&) {
        // The invoices' own steps meet the failure and report it.
        m_canceller.reset();
        m_database.discard();
    }
    return m_stop;
}

void CancellationRun::prepareLot(const std::vector<TickedInvoice>& ticked, size_t* next, Lot& lot) {
    lot.batchId = InvoiceCanceller::nextBatchId();
    if (!stopped().isEmpty())
        return;
    while (*next < ticked.size() && lot.attempts.size() < size_t(zavnfe::CancellationBatch::kMaxEvents)) {
        const size_t i = (*next)++;
        InvoiceCanceller* c = canceller();
        if (!c) {
            settle(i, CancellationOutcome::byText(m_unreachableDatabase));
            continue;
        }
        InvoiceCanceller::Attempt attempt;
        std::optional<CancellationOutcome> refused;
        try {
            refused = c->prepare(ticked[i], lot.batchId, attempt);
        } catch (const zavdb::DatabaseError& error) {
            CancellationOutcome outcome;
            lost(error, outcome);
            settle(i, outcome);
            continue;
        }
        if (refused) {
            settle(i, *refused);
            // The key stopped signing halfway through the batch: what was
            // signed stays pending in the journal, and nothing is sent.
            if (attempt.signatureFailed) {
                lot.signatureFailure = refused->text;
                return;
            }
            continue;
        }
        lot.attempts.push_back(std::move(attempt));
        lot.indices.push_back(i);
    }
}

void CancellationRun::conclude(Lot& lot) {
    const LotResult& r = lot.result;
    if (r.pauseStatus != 0) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const AuthorityPause::Pause pause{now + qint64(AuthorityPause::minutesFor(r.pauseStatus)) * 60,
                                          r.pauseStatus, r.pauseText};
        const zavfiscal::State* state = zavfiscal::stateByAbbreviation(m_context.state);
        m_stop = fitFailure(AuthorityPause::notSent(pause, state ? state->utcOffsetSeconds : 0));
        try {
            AuthorityPause(m_database.get())
                .record(AuthorityPause::nameOf(m_authority.endpoints().eventUrl), r.pauseStatus, r.pauseText,
                        now);
        } catch (const zavdb::DatabaseError&) {
            // This call stops all the same; the invoices' own steps meet the
            // failure and report it.
            m_canceller.reset();
            m_database.discard();
        }
    }
    for (size_t k = 0; k < lot.attempts.size(); ++k) {
        InvoiceCanceller* c = canceller();
        if (!c) {
            settle(lot.indices[k], CancellationOutcome::byText(m_unreachableDatabase));
            continue;
        }
        CancellationOutcome outcome;
        try {
            outcome = c->conclude(lot.attempts[k], r.results[k]);
        } catch (const zavdb::DatabaseError& error) {
            lost(error, outcome);
        }
        settle(lot.indices[k], outcome);
    }
}

void CancellationRun::withheld(Lot& lot) {
    for (size_t k = 0; k < lot.attempts.size(); ++k) {
        InvoiceCanceller* c = canceller();
        settle(lot.indices[k],
               c ? c->notSent(lot.attempts[k]) : CancellationOutcome::byText(m_unreachableDatabase));
    }
}

std::optional<AuthorityDesk::Slot> CancellationRun::place(bool wait) {
    if (!m_stop.isEmpty() || !stopped().isEmpty())
        return std::nullopt;
    AuthorityDesk& desk = AuthorityDesk::of(AuthorityPause::nameOf(m_authority.endpoints().eventUrl));
    AuthorityDesk::Admission a =
        desk.acquire(m_authority.endpoints().parallelLots, m_context.certificate.toUpper(), wait,
                     [this] { return m_authority.newClient(); });
    if (a.stopping)
        m_stop = fitFailure(QString::fromUtf8(kStoppingText));
    else if (!a.refusal.isEmpty())
        m_stop = fitFailure(a.refusal);
    if (!a.slot)
        return std::nullopt;
    return std::move(a.slot);
}

std::vector<CancellationOutcome> CancellationRun::run(const std::vector<TickedInvoice>& ticked) {
    m_outcomes.assign(ticked.size(), CancellationOutcome{});
    m_done = 0;
    if (m_progress)
        m_progress(0, int(ticked.size()));
    std::optional<Lots> lots;
    size_t next = 0;
    while (next < ticked.size() || (lots && lots->inFlight() > 0)) {
        while (next < ticked.size() && m_stop.isEmpty()) {
            // A place at the authority first (shared by every call of the
            // server), before anything is signed or journalled: waited for
            // only while this call has nothing of its own to conclude.
            if (lots && lots->inFlight() >= m_authority.endpoints().parallelLots)
                break;
            auto lot = std::make_unique<Lot>();
            if (m_authority.resolve()) {
                // Nothing can be sent: every invoice is refused by its own
                // checks or by what is missing.
                prepareLot(ticked, &next, *lot);
                continue;
            }
            std::optional<AuthorityDesk::Slot> slot = place(!lots || lots->inFlight() == 0);
            if (!slot)
                break;
            prepareLot(ticked, &next, *lot);
            if (!lot->signatureFailure.isEmpty()) {
                m_stop = lot->signatureFailure;
                m_stopKey = "fa_assinar";
                withheld(*lot);
                continue; // the place goes back unused
            }
            if (lot->attempts.empty())
                continue; // the place goes back unused
            lot->slot = std::move(*slot);
            if (!lots)
                lots.emplace(m_authority.endpoints(), m_context.environment.toInt());
            lots->start(std::move(lot));
        }
        // Not sent: neither signed nor journalled.
        if (!m_stop.isEmpty())
            for (; next < ticked.size(); ++next)
                settle(next, CancellationOutcome::byText(m_stop, m_stopKey));
        if (!lots || lots->inFlight() == 0)
            continue;
        std::unique_ptr<Lot> lot = lots->next();
        conclude(*lot);
    }
    m_canceller.reset();
    return m_outcomes;
}

} // namespace zavserver
