// A scripted encoder agent for the client job tests: records which computer it was made
// for and what was asked of it, and hands out scripted encoders.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_encoder.h"

namespace shardex::testing {

struct FakeApp : encoder::EncoderApp {
    explicit FakeApp(Script s) : script(std::move(s)) {}
    void setPlacement(std::int32_t a, std::int32_t b) override {
        script->check("setPlacement");
        first = a;
        second = b;
    }
    void setVisible(bool v) override {
        script->check("setVisible");
        visible = v;
    }
    Script script;
    std::int32_t first = 0, second = 0;
    bool visible = false;
};

struct FakeAgents {
    explicit FakeAgents(FakeEncoderFactory& encoders) : fx(encoders) {}

    FakeEncoderFactory& fx;
    std::vector<std::string> names{"WMEnc_1"};  // what an agent lists after the application is made
    std::vector<std::string> computers;         // one entry per agent made
    std::vector<std::string> appRequests;       // "name|progId"
    std::vector<std::string> encoderRequests;
    std::vector<std::shared_ptr<FakeApp>> apps;
    std::vector<std::string> copies;  // "computer|name|target"

    std::function<std::shared_ptr<encoder::Agent>(const std::string&)> agents() {
        return [this](const std::string& computer) {
            fx.script->check("createAgent");
            computers.push_back(computer);
            return std::make_shared<Agent>(*this);
        };
    }
    std::function<void(const std::string&, const std::string&, const std::string&,
                       const std::function<bool(std::int64_t, std::int64_t)>&)>
    copier() {
        return [this](const std::string& computer, const std::string& name, const std::string& target,
                      const std::function<bool(std::int64_t, std::int64_t)>& progress) {
            fx.script->check("copyFromClient");
            copies.push_back(computer + "|" + name + "|" + target);
            progress(1, 1);
        };
    }

private:
    struct Agent : encoder::Agent {
        explicit Agent(FakeAgents& o) : owner(o) {}
        std::shared_ptr<encoder::EncoderApp> createEncoderApp(const std::string& name, const std::string& progId) override {
            owner.fx.script->check("createEncoderApp");
            owner.appRequests.push_back(name + "|" + progId);
            owner.apps.push_back(std::make_shared<FakeApp>(owner.fx.script));
            return owner.apps.back();
        }
        std::vector<std::string> encoderNames() override {
            owner.fx.script->check("encoderNames");
            return owner.names;
        }
        std::shared_ptr<encoder::Encoder> encoder(const std::string& name) override {
            owner.fx.script->check("encoder");
            owner.encoderRequests.push_back(name);
            owner.fx.made.push_back(std::make_shared<FakeEncoder>(owner.fx.script));
            return owner.fx.made.back();
        }
        FakeAgents& owner;
    };
};

}  // namespace shardex::testing
