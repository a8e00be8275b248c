#include "QuelmCore/companion/SystemActionTitle.hpp"

#include "QuelmCore/Localized.hpp"

namespace quelm {

std::string title(SystemAction action) {
    switch (action) {
        case SystemAction::missionControl:
            return "Mission Control";
        case SystemAction::spaceLeft:
            return localized("左の操作スペース");
        case SystemAction::spaceRight:
            return localized("右の操作スペース");
        case SystemAction::back:
            return localized("戻る");
        case SystemAction::forward:
            return localized("進む");
    }
    return {};
}

}  // namespace quelm
