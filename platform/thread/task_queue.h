// The tasks other threads hand to a window thread: post(), send() with its
// limit and its cancellation, and terminate(), which releases every waiting
// sender. Every WindowThread implementation keeps one and adds only how its
// loop learns that a task waits (`wake_loop`, called after each task is
// queued, without the queue's lock) and where the loop runs them (run()).
#pragma once

#include "platform/thread/window_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tollander::platform {

class TaskQueue {
public:
    explicit TaskQueue(std::function<void()> wake_loop) : wake_loop_(std::move(wake_loop)) {}
    ~TaskQueue() {
        terminate();
        // A sender still waiting has had its task cancelled; let it leave
        // before the queue it waits on is gone.
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return senders_ == 0; });
    }
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    void post(Task task) {
        auto item = std::make_shared<Item>();
        item->task = std::move(task);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(item));
        }
        wake_loop_();
    }

    // WindowThread::send() for a caller that is not the window thread (which
    // runs its own task at once instead).
    bool send(Task task, Millis limit) {
        auto item = std::make_shared<Item>();
        item->task = std::move(task);
        item->sent = true;
        std::unique_lock lock(mutex_);
        if (terminating_) return false;
        ++senders_;
        struct Leave {
            TaskQueue& self;
            ~Leave() {
                --self.senders_;
                self.cv_.notify_all();
            }
        } leave{*this};
        queue_.push_back(item);
        lock.unlock();
        wake_loop_();
        lock.lock();
        cv_.wait_for(lock, limit, [&] {
            return item->state == Item::State::Done || item->state == Item::State::Cancelled;
        });
        if (item->state == Item::State::Queued) item->state = Item::State::Cancelled;
        if (item->state == Item::State::Cancelled) return false;
        // Once started, a task is waited for to its end: the sender's data
        // must outlive it.
        cv_.wait(lock, [&] { return item->state == Item::State::Done; });
        return true;
    }

    // The loop's part: runs the tasks queued so far, in order. What they
    // queue meanwhile waits for the next call, so one call always ends.
    void run() {
        std::vector<std::shared_ptr<Item>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.assign(queue_.begin(), queue_.end());
            queue_.clear();
        }
        for (auto& item : tasks) {
            {
                std::lock_guard lock(mutex_);
                if (item->state == Item::State::Cancelled) continue;
                item->state = Item::State::Running;
            }
            struct Done {
                TaskQueue& self;
                Item& item;
                ~Done() {
                    if (!item.sent) return;
                    {
                        std::lock_guard lock(self.mutex_);
                        item.state = Item::State::Done;
                    }
                    self.cv_.notify_all();
                }
            } done{*this, *item};
            item->task();
        }
    }

    bool has_tasks() const {
        std::lock_guard lock(mutex_);
        return !queue_.empty();
    }

    // Senders still waiting for a task that will never run get their answer,
    // and later sends are refused.
    void terminate() {
        {
            std::lock_guard lock(mutex_);
            terminating_ = true;
            for (auto& item : queue_)
                if (item->sent && item->state == Item::State::Queued)
                    item->state = Item::State::Cancelled;
        }
        cv_.notify_all();
    }
    bool terminating() const { return terminating_; }

private:
    // A sent task carries a state its sender waits on, so that a sender that
    // gave up can cancel a task that has not started yet.
    struct Item {
        enum class State { Queued, Running, Done, Cancelled };
        Task task;
        bool sent = false;
        State state = State::Queued;
    };

    std::function<void()> wake_loop_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Item>> queue_;
    int senders_ = 0; // threads inside send(); the destructor waits for them
    std::atomic<bool> terminating_{false};
};

} // namespace tollander::platform
