#pragma once

#include <QWidget>

#include <functional>

#include "app/account_controller.h"

class QVBoxLayout;

namespace lumora::tray {

// Who is signed in and whether this computer is in the account's device list; signed out, the
// two sign-in buttons.
class AccountSection : public QWidget {
 public:
  struct Actions {
    std::function<void()> signInWithGoogle;
    std::function<void()> signInWithGitHub;
    std::function<void()> signOut;
  };

  explicit AccountSection(Actions actions, QWidget* parent = nullptr);

  void render(const app::AccountController::State& state);

 private:
  void renderSignedOut(const app::AccountController::State& state);
  void renderSignedIn(const app::AccountController::State& state);

  Actions actions_;
  QVBoxLayout* layout_;
};

}  // namespace lumora::tray
