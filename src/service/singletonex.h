#ifndef SINGLETONEX_H
#define SINGLETONEX_H

#include "oruexport.h"

// Holds the one instance of T. The constructor runs as part of T's
// construction, so code later in T's constructor already finds the instance.
template<class T> class ORU_EXPORT SingletonEx {
public:
    // The instance is created once per process and never used after the host
    // destroys it, so nothing here needs undoing.
    virtual ~SingletonEx() = default;

    static void createInstance() {
        if (!instancePtr())
            new T();
    }

    static T &instance() { return *instancePtr(); }
    static T *instancePtr() {
        // The cast waits for first use: while this base is built, the object
        // is not yet a T, and casting to one then is undefined.
        if (!instance_ && self_)
            instance_ = static_cast<T *>(self_);
        return instance_;
    }

protected:
    SingletonEx() { self_ = this; }

    static T *instance_;

private:
    static SingletonEx *self_;
};

template<class T> T *SingletonEx<T>::instance_ = nullptr;
template<class T> SingletonEx<T> *SingletonEx<T>::self_ = nullptr;

#endif // SINGLETONEX_H
