#include "osc/NameLookup.h"

#include "app/Errors.h"
#include "osc/UdpClient.h"

#include <QMetaObject>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// What the owner and the thread share. The thread keeps it alive until it
// ends, so an owner that goes while a look-up hangs leaves nothing behind
// that the thread could touch.
struct TNameLookup::TShared {
    std::mutex Mutex;
    std::condition_variable Wake;
    QObject* Receiver = nullptr; // null once the owner is gone
    Resolver Resolve;
    struct TQuestion {
        QString Name;
        Answer Reply;
    };
    std::deque<TQuestion> Questions;
    bool Running = false;

    void Run() {
        std::unique_lock lock(Mutex);
        for (;;) {
            Wake.wait(lock, [&] { return !Receiver || !Questions.empty(); });
            if (!Receiver)
                return;
            TQuestion question = std::move(Questions.front());
            Questions.pop_front();
            const Resolver resolve = Resolve;
            lock.unlock();
            bool found = false;
            uint32_t address = 0;
            QString error;
            try {
                address = resolve ? resolve(question.Name) : UdpClient::ResolveIPv4(question.Name);
                found = true;
            } catch (const CuewellError& e) {
                error = e.Text();
            } catch (const std::exception& e) {
                error = QString::fromLocal8Bit(e.what());
            }
            lock.lock();
            // Under the lock, so that the owner cannot go meanwhile; a call
            // queued on a receiver that is deleted later is dropped with it.
            if (Receiver)
                QMetaObject::invokeMethod(
                    Receiver,
                    [reply = std::move(question.Reply), found, address, error] {
                        reply(found, address, error);
                    },
                    Qt::QueuedConnection);
        }
    }
};

TNameLookup::TNameLookup(QObject* receiver) : FShared(std::make_shared<TShared>()) {
    FShared->Receiver = receiver;
}

TNameLookup::~TNameLookup() {
    {
        std::lock_guard lock(FShared->Mutex);
        FShared->Receiver = nullptr;
        FShared->Questions.clear();
    }
    FShared->Wake.notify_all();
}

void TNameLookup::Ask(const QString& name, Answer answer) {
    {
        std::lock_guard lock(FShared->Mutex);
        FShared->Questions.push_back({name, std::move(answer)});
        if (!FShared->Running) {
            // Started at the first name: targets given as addresses need no thread.
            FShared->Running = true;
            std::thread([shared = FShared] { shared->Run(); }).detach();
        }
    }
    FShared->Wake.notify_all();
}

void TNameLookup::SetResolver(Resolver resolver) {
    std::lock_guard lock(FShared->Mutex);
    FShared->Resolve = std::move(resolver);
}
