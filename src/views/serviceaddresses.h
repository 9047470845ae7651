#pragma once

// The outside addresses the settings window names or opens, kept in one
// place so that the note shown to the user and the job that registers a
// server always agree.
namespace ServiceAddresses {

// The design service's hosted MCP server.
inline constexpr char figmaMCP[] = "https://mcp.figma.com/mcp";
// The wiki vendor's hosted MCP server.
inline constexpr char atlassianMCP[] = "https://mcp.atlassian.com/v1/sse";
// Where the design service's personal access tokens are made.
inline constexpr char figmaTokenSettings[] = "https://www.figma.com/settings";
// Where the claude tool is described and installed from.
inline constexpr char claudeCodeProduct[] = "https://www.anthropic.com/claude-code";
// The team's app repositories; only their last path component is shown.
inline constexpr char androidRepository[] = "https://github.com/brenix/brenix_android_v2";
inline constexpr char iosRepository[] = "https://github.com/brenix/brenix_ios_v2";
// How the two kinds of secret begin.
inline constexpr char figmaTokenPrefix[] = "figd_";
inline constexpr char anthropicKeyPrefix[] = "sk-ant-";

} // namespace ServiceAddresses
