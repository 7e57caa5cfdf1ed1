// Base component of the spawner's component family.
#pragma once
#include <QObject>
#include <string>

class TStComponent : public QObject {
public:
    explicit TStComponent(QObject* AOwner = nullptr) : QObject(AOwner) {}
    std::string Version() const { return "4.03"; }
    void SetVersion(const std::string&) {}
};
