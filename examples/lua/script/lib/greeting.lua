-- A module of the packed Lua program, found through package.path as
-- main.lua sets it: Lua does not look in the extraction directory by itself.
local greeting = {}

function greeting.hello(count)
  return ("hello from a packed module, %d argument%s"):format(count, count == 1 and "" or "s")
end

return greeting
