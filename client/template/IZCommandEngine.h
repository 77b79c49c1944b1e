// What a node asks of the engine it belongs to.
#pragma once

#include <string>

class ZTemplateNode;
struct ZNotifyHandle;

// Executes command strings on behalf of nodes, gives the notification
// handle that store watches report to, and finds nodes by path.
class IZCommandEngine {
public:
    virtual ~IZCommandEngine() = default;
    // Runs or offers the commands of a menu text; context is the node on
    // whose behalf they run (null from outside the tree). The third argument
    // is reserved and ignored.
    virtual void executeCommand(const std::wstring& command, ZTemplateNode* context, int reserved = 0) = 0;
    virtual ZNotifyHandle* getNotifyListener() = 0;
    // "/skin/..." from the root, or "../..." relative to the context node;
    // null when there is no such node.
    virtual ZTemplateNode* getNode(const std::wstring& path, ZTemplateNode* context) = 0;
};
