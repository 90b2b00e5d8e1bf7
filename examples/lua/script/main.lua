-- The packed Lua program's own script, run by the built-in argument
-- "{CONTENTS}\main.lua": it finds its module beside itself, in the
-- extraction directory, and must not rely on the current directory.
local here = arg[0]:match("^(.*)[\\/]") or "."
package.path = here .. "\\lib\\?.lua;" .. package.path

local greeting = require("greeting")

if arg[1] == "--exit" then
  os.exit(tonumber(arg[2]))
end

print(greeting.hello(#arg))
for i = 1, #arg do
  print(("arg %d [%s]"):format(i, arg[i]))
end
