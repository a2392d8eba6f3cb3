// The only way native code reaches the page, and the only way the page reaches native code.
//
// window.qvPage holds the calls native code makes. Every argument is a plain string, number or
// boolean and is used as data: texts become text content, option text or a value, never markup,
// and callFunction runs only the page functions on a fixed list. A call naming an element the
// page does not have does nothing and reports false, -1 or "".
//
// Events leave the page as {id, event} objects: "click" for the four hidden buttons, "change" for
// the two lists, "drag" for a mouse press on the title strip. They go to the WebKit message
// handler "qvPage" when the host installed one, else to window.qvHost.postEvent.
'use strict';

(function() {
var CLICKED = ['Quorvin_BtnAddUser', 'Quorvin_BtnRemoveUser', 'Quorvin_BtnOK', 'Quorvin_BtnCancel'];
var CHANGED = ['Quorvin_CmbUsers', 'Quorvin_CmbLookIn'];
var DRAG_STRIP = 'TabImageid_marlowen';
var CALLABLE = [
  'Quorvin_BtnAddUser_Status_Script', 'Quorvin_BtnRemoveUser_Status_Script',
  'Quorvin_BtnOK_Status_Script', 'Quorvin_BtnCancel_Status_Script',
  'Quorvin_EditUserName_Status_Script', 'Quorvin_CmbUsers_Status_Script',
  'Quorvin_CmbLookIn_Status_Script', 'MakeBtnEnable', 'MakeBtnDisable'
];

function post(id, event) {
  var message = {id: id, event: event};
  var webkit = window.webkit;
  if (webkit && webkit.messageHandlers && webkit.messageHandlers.qvPage) {
    webkit.messageHandlers.qvPage.postMessage(message);
  } else if (window.qvHost && typeof window.qvHost.postEvent === 'function') {
    window.qvHost.postEvent(message);
  }
}

function isPlain(value) {
  var type = typeof value;
  return type === 'string' || type === 'number' || type === 'boolean';
}

function element(id) {
  return typeof id === 'string' && id !== '' ? document.getElementById(id) : null;
}

function list(id) {
  var found = element(id);
  return found && found.tagName === 'SELECT' ? found : null;
}

function validIndex(select, index) {
  return typeof index === 'number' && Number.isInteger(index) && index >= 0 &&
      index < select.options.length;
}

// Fixed in place, so nothing loaded later can swap the calls native code makes.
Object.defineProperty(window, 'qvPage', {
  value: Object.freeze({
    hasElement: function(id) {
      return element(id) !== null;
    },
    // The value of a text box, button or list; the text of any other element.
    getValue: function(id) {
      var found = element(id);
      if (!found) return '';
      return 'value' in found ? String(found.value) : found.textContent;
    },
    setValue: function(id, text) {
      var found = element(id);
      if (!found || !isPlain(text)) return false;
      if (found.tagName === 'INPUT' || found.tagName === 'TEXTAREA') {
        found.value = String(text);
      } else if (found.tagName === 'SELECT') {
        return false;
      } else {
        found.textContent = String(text);
      }
      return true;
    },
    setEnabled: function(id, enabled) {
      var found = element(id);
      if (!found || !('disabled' in found)) return false;
      found.disabled = !enabled;
      return true;
    },
    setVisible: function(id, visible) {
      var found = element(id);
      if (!found) return false;
      found.style.visibility = visible ? 'visible' : 'hidden';
      return true;
    },
    addOption: function(id, text) {
      var select = list(id);
      if (!select || !isPlain(text)) return false;
      var option = document.createElement('option');
      option.textContent = String(text);
      select.appendChild(option);
      return true;
    },
    optionCount: function(id) {
      var select = list(id);
      return select ? select.options.length : 0;
    },
    selectedIndex: function(id) {
      var select = list(id);
      return select ? select.selectedIndex : -1;
    },
    selectOption: function(id, index) {
      var select = list(id);
      if (!select || (index !== -1 && !validIndex(select, index))) return false;
      select.selectedIndex = index;
      return true;
    },
    optionText: function(id, index) {
      var select = list(id);
      return select && validIndex(select, index) ? select.options[index].textContent : '';
    },
    deleteOption: function(id, index) {
      var select = list(id);
      if (!select || !validIndex(select, index)) return false;
      select.remove(index);
      return true;
    },
    removeAllOptions: function(id) {
      var select = list(id);
      if (!select) return false;
      while (select.options.length > 0) select.remove(0);
      return true;
    },
    // Runs one of the page functions on the list with one text argument; any other name, or an
    // argument that is not a plain value, is refused with false.
    callFunction: function(name, arg) {
      if (typeof name !== 'string' || CALLABLE.indexOf(name) < 0 || !isPlain(arg)) return false;
      var target = window[name];
      if (typeof target !== 'function') return false;
      target(String(arg));
      return true;
    }
  }),
  writable: false,
  configurable: false
});

document.addEventListener('DOMContentLoaded', function() {
  CLICKED.forEach(function(id) {
    var button = element(id);
    if (button) {
      button.addEventListener('click', function() {
        if (!button.disabled) post(id, 'click');
      });
    }
  });
  CHANGED.forEach(function(id) {
    var select = element(id);
    if (select) {
      select.addEventListener('change', function() {
        post(id, 'change');
      });
    }
  });
  var strip = element(DRAG_STRIP);
  if (strip) {
    strip.addEventListener('mousedown', function(event) {
      if (event.button !== 0) return;
      event.preventDefault();
      post(DRAG_STRIP, 'drag');
    });
  }
});

// The page never leaves itself: links and form submissions are stopped wherever they come from.
document.addEventListener('click', function(event) {
  var target = event.target;
  if (target && target.closest && target.closest('a[href], area[href]')) event.preventDefault();
}, true);
document.addEventListener('submit', function(event) {
  event.preventDefault();
}, true);
})();
