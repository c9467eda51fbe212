#pragma once

// A doubly linked list threaded through its elements: linking and unlinking allocate nothing and take constant
// time. Not thread-safe; the owner of the list guards it.
namespace brindlemoor::runtime::detail {

template <typename T>
class IntrusiveList {
public:
    // The links an element carries; an element derives from it and is in at most one such list at a time.
    class Hook {
        friend class IntrusiveList;
        T* prev_ = nullptr;
        T* next_ = nullptr;
        bool linked_ = false;
    };

    T* front() const noexcept { return head_; }

    void push_back(T& element) noexcept {
        Hook& hook = element;
        hook.prev_ = tail_;
        hook.next_ = nullptr;
        (tail_ ? static_cast<Hook&>(*tail_).next_ : head_) = &element;
        tail_ = &element;
        hook.linked_ = true;
    }

    // Does nothing for an element that is not linked.
    void remove(T& element) noexcept {
        Hook& hook = element;
        if (!hook.linked_) return;
        (hook.prev_ ? static_cast<Hook&>(*hook.prev_).next_ : head_) = hook.next_;
        (hook.next_ ? static_cast<Hook&>(*hook.next_).prev_ : tail_) = hook.prev_;
        hook.prev_ = hook.next_ = nullptr;
        hook.linked_ = false;
    }

private:
    T* head_ = nullptr;
    T* tail_ = nullptr;
};

}  // namespace brindlemoor::runtime::detail
