-- The packed Lua program's own script, run by the built-in argument
-- "{CONTENTS}\main.lua": it finds its module beside itself, in the
-- extraction directory that VORBEL_ONEFILE_CONTENTS names, and must not rely
-- on the current directory.
local here = os.getenv("VORBEL_ONEFILE_CONTENTS")
if here == nil then error("VORBEL_ONEFILE_CONTENTS is not set") end
package.path = here .. "\\lib\\?.lua;" .. package.path

local greeting = require("greeting")

if arg[1] == "--exit" then
  os.exit(tonumber(arg[2]))
end

print(greeting.hello(#arg))
for i = 1, #arg do
  print(("arg %d [%s]"):format(i, arg[i]))
end
