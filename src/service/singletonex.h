#ifndef SINGLETONEX_H
#define SINGLETONEX_H

// Holds the one instance of T. The constructor runs as part of T's
// construction, so code later in T's constructor already finds the instance.
template<class T> class SingletonEx {
public:
    virtual ~SingletonEx() {}

    static void createInstance() {
        if (!instance_)
            new T();
    }

    static T &instance() { return *instance_; }
    static T *instancePtr() { return instance_; }

protected:
    SingletonEx() { instance_ = static_cast<T *>(this); }

    static T *instance_;
};

template<class T> T *SingletonEx<T>::instance_ = nullptr;

#endif // SINGLETONEX_H
